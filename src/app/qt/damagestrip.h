// DamageStrip: where a broken file's damage lies, as a strip the length of
// its track with each damaged stretch drawn at its place. Hovering a
// stretch shows its frames, bytes and times; the accessible description
// says the same of every stretch, for a screen reader.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/text.h"
#include "scan/filecheck.h"

namespace velkscan {

// A broken file's damage map (recover/damagemap.h) in frames, bytes and
// seconds: what the strip draws.
struct DamageTrack {
  struct Stretch {
    uint64_t firstFrame = 0, lastFrame = 0;  // counted from 0, inclusive
    uint64_t firstByte = 0, lastByte = 0;
    bool estimated = false;      // how many frames it held is estimated
    bool searchLimited = false;  // the rest of the file was not searched
  };
  uint64_t frames = 0;  // the track's length in frames
  double sampleRate = 0;
  std::vector<Stretch> stretches;
  QString error;  // why there is no map, or why it is incomplete

  // "frames 31-40, bytes 1200-1999, 00:00-00:01" (frames from 1, as the report counts them).
  QString Describe(const Stretch& stretch) const;
};

// Walks the file again, read-only, from the frame the check found broken,
// until the end or stopped() says to stop.
DamageTrack MapTrack(const Text& path, const FileOutcome& outcome, const std::function<bool()>& stopped = {});

class DamageStrip : public QWidget {
  Q_OBJECT

 public:
  explicit DamageStrip(QWidget* parent = nullptr);

  // The track shown, for the file named.
  void Show(const QString& name, DamageTrack track);
  const DamageTrack& track() const { return track_; }
  // The stretch at x, -1 for none.
  int StretchAt(int x) const;
  // Pixels of the stretch's place on the strip.
  QRect StretchRect(int index) const;

  QSize sizeHint() const override;

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  QRect Bar() const;
  QString name_;
  DamageTrack track_;
};

}  // namespace velkscan
