#include "qt/damagestrip.h"

#include <QEvent>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>
#include <algorithm>
#include <filesystem>

#include "decoder/framedecoder.h"
#include "platform/filestream.h"
#include "qt/qtdisplay.h"
#include "recover/damagemap.h"
#include "scan/report.h"

namespace velkscan {

namespace {

QString Clock(uint64_t frames, double sampleRate) {
  const double seconds = sampleRate > 0 ? double(frames) * kSamplesPerFrame / sampleRate : 0;
  const auto s = static_cast<uint64_t>(seconds);
  return ToQString(FormatTime(static_cast<uint32_t>(s / 3600), static_cast<uint32_t>(s / 60 % 60),
                              static_cast<uint32_t>(s % 60)));
}

}  // namespace

QString DamageTrack::Describe(const Stretch& s) const {
  return QStringLiteral("frames %1-%2%3, bytes %4-%5, %6-%7%8")
      .arg(s.firstFrame + 1)
      .arg(s.lastFrame + 1)
      .arg(s.estimated ? QStringLiteral(" (estimated)") : QString())
      .arg(s.firstByte)
      .arg(s.lastByte)
      .arg(Clock(s.firstFrame, sampleRate), Clock(s.lastFrame + 1, sampleRate),
           s.searchLimited ? QStringLiteral(" (not searched further)") : QString());
}

DamageTrack MapTrack(const Text& path, const FileOutcome& outcome, const std::function<bool()>& stopped) {
  DamageTrack track;
  track.sampleRate = outcome.sampleRate;
  track.frames = outcome.declaredFrames;
  FileStream stream(OpenFileForScan(path, false));
  StreamInfo info{};
  if (stream.handle() == kInvalidHandle || ReadStreamHeader(info, stream) != HeaderResult::kOk) {
    track.error = QStringLiteral("the file could not be read again");
    return track;
  }
  if (!outcome.failAt) {
    track.error = QStringLiteral("the frames of this stream version are not checked");
    return track;
  }
  const DamageMap map =
      MapDamage(stream, info, outcome.declaredFrames, outcome.goodFrames, outcome.failAt->bit, stopped);
  std::error_code error;
  const uint64_t size = std::filesystem::file_size(path, error);
  for (const GoodRun& run : map.runs)
    track.frames = std::max<uint64_t>(track.frames, run.firstFrame + uint64_t{run.frames});
  for (std::size_t i = 0; i < map.regions.size(); ++i) {
    const DamagedRegion& r = map.regions[i];
    // As velkscan-cli --map gives them: the bytes within the file.
    ByteSpan bytes = BytesOfBits(info, r.beginBit, r.endBit, map.runs[i].align,
                                 i + 1 < map.runs.size() ? map.runs[i + 1].align : map.runs[i].align);
    if (!error && size > 0) bytes.last = std::min(bytes.last, size - 1);
    bytes.first = std::min(bytes.first, bytes.last);
    track.stretches.push_back(
        {r.firstFrame, r.lastFrame, bytes.first, bytes.last, !r.countKnown, r.searchLimited});
    track.frames = std::max<uint64_t>(track.frames, r.lastFrame + uint64_t{1});
  }
  if (map.end == DamageMap::End::kReadError)
    track.error = QStringLiteral("reading failed at byte %1: the map stops there").arg(map.readErrorByte);
  if (map.end == DamageMap::End::kOutOfReach)
    track.error = QStringLiteral("the map stops at byte %1, past the 4 GiB a file position reaches")
                      .arg(map.readErrorByte);
  return track;
}

DamageStrip::DamageStrip(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("damageStrip"));
  setAccessibleName(QStringLiteral("Where the damage is"));
  setFocusPolicy(Qt::TabFocus);
  setMouseTracking(true);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void DamageStrip::Show(const QString& name, DamageTrack track) {
  name_ = name;
  track_ = std::move(track);
  QStringList parts;
  for (const DamageTrack::Stretch& s : track_.stretches) parts << track_.Describe(s);
  const int n = static_cast<int>(track_.stretches.size());
  QString text = QStringLiteral("%1: %2 damaged stretch%3 in %4 frames (%5)")
                     .arg(name_)
                     .arg(n)
                     .arg(n == 1 ? "" : "es")
                     .arg(track_.frames)
                     .arg(Clock(track_.frames, track_.sampleRate));
  if (!parts.isEmpty()) text += QStringLiteral(": ") + parts.join(QStringLiteral("; "));
  if (!track_.error.isEmpty()) text += QStringLiteral("; ") + track_.error;
  setAccessibleName(QStringLiteral("Where the damage is in %1").arg(name_));
  setAccessibleDescription(text + QLatin1Char('.'));
  setToolTip(QString());
  update();
}

QSize DamageStrip::sizeHint() const {
  return QSize(200, fontMetrics().height() * 2);
}

QRect DamageStrip::Bar() const {
  return rect().adjusted(1, 1, -2, -2);
}

QRect DamageStrip::StretchRect(int index) const {
  const QRect bar = Bar();
  if (track_.frames == 0 || index < 0 || index >= static_cast<int>(track_.stretches.size())) return {};
  const DamageTrack::Stretch& s = track_.stretches[static_cast<std::size_t>(index)];
  const double scale = double(bar.width()) / double(track_.frames);
  const int left = bar.left() + static_cast<int>(double(s.firstFrame) * scale);
  const int right = bar.left() + static_cast<int>(double(s.lastFrame + 1) * scale);
  // Every stretch shows, however short: two pixels at least.
  return QRect(left, bar.top(), std::max(2, right - left), bar.height());
}

int DamageStrip::StretchAt(int x) const {
  for (int i = 0; i < static_cast<int>(track_.stretches.size()); ++i) {
    const QRect place = StretchRect(i);
    if (x >= place.left() - 1 && x <= place.right() + 1) return i;
  }
  return -1;
}

bool DamageStrip::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const int at = StretchAt(help->pos().x());
    if (at < 0) {
      QToolTip::hideText();
    } else {
      QToolTip::showText(
          help->globalPos(),
          QStringLiteral("Damaged: ") + track_.Describe(track_.stretches[static_cast<std::size_t>(at)]), this,
          StretchRect(at));
    }
    return true;
  }
  return QWidget::event(event);
}

void DamageStrip::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const QRect bar = Bar();
  painter.fillRect(bar, QColor(0x4c, 0xaf, 0x50));  // the good frames
  for (int i = 0; i < static_cast<int>(track_.stretches.size()); ++i)
    painter.fillRect(StretchRect(i), QColor(0xd3, 0x2f, 0x2f));
  painter.setPen(palette().color(QPalette::WindowText));
  painter.drawRect(bar);
  if (hasFocus()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 1, Qt::DashLine));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
  }
}

}  // namespace velkscan
