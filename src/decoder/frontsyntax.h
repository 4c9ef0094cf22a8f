// The checking path's sections 1 to 3 of a frame, version 7 and versions
// 4 to 6: they read what steers the syntax (resolutions, selection
// patterns, flags, escapes) and turn it into a list of sample tasks, which
// a lane (samplelanes.h) then works through. The frame's driver and what
// holds this path to the reference: checkingsyntax.h.
//
// Every helper here is forced inline ([[gnu::always_inline]]): a frame's
// parse must keep its cursors in registers from start to end.
#pragma once

#include <algorithm>
#include <array>
#include <type_traits>

#include "decoder/bitcursor.h"
#include "decoder/framedecoder.h"
#include "decoder/samplelanes.h"

namespace velkscan {

// The sections 1 to 3 of one frame, or of two frames in step: each lane is a
// chain of look-ups that waits on the one before, so two independent chains
// side by side keep the processor busy. Lane l reads with c[l].
template <int L>
using Lane = std::integral_constant<int, L>;

// f(Lane<0>), ..., f(Lane<N - 1>).
template <int N, class F>
[[gnu::always_inline]] inline void ForLanes(F f) {
  f(Lane<0>{});
  if constexpr (N == 2) f(Lane<1>{});
}

// step(lane) does one step of a lane and returns whether it has more (false
// at once when it had none); the lanes go in turn until each is done.
template <int N, class F>
[[gnu::always_inline]] inline void InStep(F step) {
  if constexpr (N == 1) {
    while (step(Lane<0>{})) {
    }
  } else {
    bool more0 = step(Lane<0>{}), more1 = step(Lane<1>{});
    while (more0 && more1) {
      more0 = step(Lane<0>{});
      more1 = step(Lane<1>{});
    }
    while (more0) more0 = step(Lane<0>{});
    while (more1) more1 = step(Lane<1>{});
  }
}

// band(n, refill) for bands first..last, with refill (a std::bool_constant)
// true every other band (version 7's section 1): a band takes at most 11
// bits by its pair look-up, so after a refill (at least 33 bits valid) the
// next band's window of kResPairBits finds at least 22 and the one after
// at least 11 (the slower path's windows are at most 9 bits, and refill).
// The caller refills each lane's cursor after the last band.
template <class F>
[[gnu::always_inline]] inline void ForBands(int first, int last, F band) {
  int n = first;
  for (; n < last; n += 2) {
    band(n, std::true_type{});
    band(n + 1, std::false_type{});
  }
  if (n == last) band(n, std::true_type{});
}

// Up to two look-ups of a run of scale-factor differences (versions 4 to
// 6) with one refill. Returns the words left. (Version 7's section 3 kept
// one look-up per refill: there the second cost instructions.)
[[gnu::always_inline]] inline uint32_t ScaleFactorSteps(BitCursor& c, const RunTable& run,
                                                        const FastTable& single, uint32_t count) {
  count = c.RunStep(run, single, count);
  return count == 0 ? 0 : c.RunStep<false>(run, single, count);
}

// Version 7 (and 23), sections 1 to 3; writes the sample tasks.
struct Sv7Syntax {
  template <int N>
  static void Front(const FrameDecoder& d, const FastTables& f, BitCursor* cursors, TaskList* const* tasks) {
    const bool midSide = d.midSide == 1;
    // Both lanes read the same ring: one register for it.
    const uint32_t* const ring = cursors[0].ring;
    BitCursor c[N];
    ForLanes<N>([&](auto l) {
      c[l] = cursors[l];
      c[l].ring = ring;
    });
    struct {
      int32_t resL, resR;
      uint32_t selections, scaleCodes;
      TaskList* task;  // the next sample task
    } st[N];
    // Section 4's tasks as section 1 finds the resolutions, left before
    // right; bands past the last one used hold none. Each channel's task is
    // written and kept when its resolution carries sample bits (0 and the
    // negative ones do not; the next task or the end overwrites theirs). A
    // resolution outside -kMaxResolution..kMaxResolution ends the list
    // there: its task is the end, and kept. No branch on the resolutions.
    const TaskList* const taskOf = TaskOfResolution(f);
    auto addTasks = [taskOf](auto& s) {
      *s.task = taskOf[s.resL];
      s.task += static_cast<uint32_t>(s.resL + kMaxResolution) > kMaxResolution;
      *s.task = taskOf[s.resR];
      s.task += static_cast<uint32_t>(s.resR + kMaxResolution) > kMaxResolution;
    };

    // Section 1: resolutions and mid/side flags; count the channels that
    // carry a selection code.
    ForLanes<N>([&](auto l) {
      auto& s = st[l];
      s.resL = static_cast<int32_t>(c[l].ReadBits(kResolutionFieldBits));
      s.resR = static_cast<int32_t>(c[l].ReadBits(kResolutionFieldBits));
      if (midSide && (s.resL | s.resR) != 0) c[l].ReadBits(1);
      s.selections = (s.resL != 0) + (s.resR != 0);
      s.scaleCodes = 0;
      s.task = tasks[l];
      addTasks(s);
    });
    const int lastBand = d.LastBand();
    const FastTable& resDelta = f.table[Sv7ResDeltaCode];
    ForBands(1, lastBand, [&](int, auto refill) {
      ForLanes<N>([&](auto l) {
        auto& s = st[l];
        // Both differences at once unless one is long or the escape; the
        // mid/side flag, when there is one, is the bit after them.
        const uint32_t pair = f.sv7ResPair[c[l].Window(kResPairBits)];
        if (pair != 0) [[likely]] {
          s.resL += static_cast<int32_t>((pair >> 4) & 15) - kResPairBias;
          s.resR += static_cast<int32_t>(pair >> 8) - kResPairBias;
          if constexpr (refill) c[l].Refill();
          c[l].Consume((pair & 15) + (midSide & ((s.resL | s.resR) != 0)));
        } else {
          int32_t delta = c[l].Decode(resDelta);
          s.resL = delta == kSv7ResEscape ? static_cast<int32_t>(c[l].ReadBits(kResolutionFieldBits))
                                          : s.resL + delta;
          delta = c[l].Decode(resDelta);
          s.resR = delta == kSv7ResEscape ? static_cast<int32_t>(c[l].ReadBits(kResolutionFieldBits))
                                          : s.resR + delta;
          if (midSide && (s.resL | s.resR) != 0) c[l].ReadBits(1);
        }
        s.selections += (s.resL != 0) + (s.resR != 0);
        addTasks(s);
      });
    });
    ForLanes<N>([&](auto l) { c[l].Refill(); });

    // Section 2: selection patterns, of which only the number of
    // scale-factor codes they call for matters; section 3: that many
    // difference codes, an escape with its 6-bit index counting as one
    // longer word.
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.selections == 0) return false;
      const uint32_t entry = f.sv7SelectRun[c[l].Window(kRunBits)];
      const uint32_t words = (entry >> 5) & 15;
      if (words > s.selections) {
        // The window holds more codes than are left: one at a time.
        for (; s.selections != 0; --s.selections)
          s.scaleCodes += kScaleFactorsOfPattern[c[l].Decode(f.table[Sv7ScfSelectCode])];
        return false;
      }
      c[l].Refill();
      c[l].Consume(entry & 31);
      s.selections -= words;
      s.scaleCodes += entry >> 9;
      return s.selections != 0;
    });
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.scaleCodes == 0) return false;
      s.scaleCodes = c[l].RunStep(f.run[Sv7ScfDeltaCode], f.table[Sv7ScfDeltaCode], s.scaleCodes);
      return s.scaleCodes != 0;
    });
    ForLanes<N>([&](auto l) {
      cursors[l] = c[l];
      *st[l].task = &kEndTask;
    });
  }

  // Every resolution a frame can reach: 0..15 in the first band, then a
  // step of -5..3 a band (or 0..15 again after an escape).
  static constexpr int kReach = (1 << kResolutionFieldBits) - 1 + kResPairBias * (kSubbands - 1);

  // The task of each resolution -kReach..kReach (the returned pointer is
  // resolution 0's), made once: those outside -kMaxResolution..
  // kMaxResolution are the end of the list. A channel's task is a copy,
  // kept unless the resolution carries no sample bits.
  static const TaskList* TaskOfResolution(const FastTables& f) {
    static const std::array<SampleTask, kResolutions> tasks = [&f] {
      std::array<SampleTask, kResolutions> t{};
      for (int res = kMaxCodedResolution + 1; res <= kMaxResolution; ++res)
        t[res].skip = kSamplesPerSubband * static_cast<uint32_t>(res - 1);
      for (int res = 1; res <= kMaxCodedResolution; ++res) {
        for (int set = 0; set < 2; ++set) {
          t[res].run[set] = f.run[Sv7SampleTableId(set, res)];
          t[res].single[set] = &f.table[Sv7SampleTableId(set, res)];
        }
        t[res].count = Sv7SampleWords(res);
      }
      return t;
    }();
    static const std::array<TaskList, 2 * kReach + 1> of = [] {
      std::array<TaskList, 2 * kReach + 1> all{};
      for (int res = -kReach; res <= kReach; ++res)
        all[res + kReach] =
            res < -kMaxResolution || res > kMaxResolution ? &kEndTask : &tasks[std::max(res, 0)];
      return all;
    }();
    return &of[kReach];
  }
};

// Versions 4 to 6, sections 1 to 3; writes the sample tasks.
struct Sv46Syntax {
  template <int N>
  static void Front(const FrameDecoder& d, const FastTables& f, BitCursor* cursors, TaskList* const* tasks) {
    const bool midSide = d.midSide == 1;
    BitCursor c[N];
    ForLanes<N>([&](auto l) { c[l] = cursors[l]; });
    // Section 3 as stretches of difference codes between plain fields.
    struct Stretch {
      uint32_t codes;      // difference codes
      uint32_t plainBits;  // then this many bits of plain fields
    };
    struct {
      uint32_t selections;  // channels with a resolution other than 0
      TaskList* task;       // the next sample task
      uint32_t pending;
      Stretch stretches[2 * kSubbands + 1];
      uint32_t stretchCount, stretch;
    } st[N];

    // Section 1: resolution indexes, the mid/side bit between them; section
    // 4's tasks as the resolutions come (per band the coded samples, the
    // channels' words in turn, then the fixed-width fields; none in the
    // bands past the last one used).
    const SampleTask* const taskOf = TaskOfResolutions(f);
    ForLanes<N>([&](auto l) {
      st[l].selections = 0;
      st[l].task = tasks[l];
    });
    const int lastBand = d.LastBand();
    for (int n = 0; n <= lastBand; ++n) {
      const TableId id = Sv46ResCodeFor(n);
      const FastTable& code = f.table[id];
      const uint16_t* const pairs = f.sv46ResPair[midSide][id - Sv46ResCodeA];
      const uint32_t pairBits = kSv46ResPairBits[id - Sv46ResCodeA];
      ForLanes<N>([&](auto l) {
        auto& s = st[l];
        // Both indexes (and the mid/side bit) at once unless one is long.
        uint32_t left, right;
        const uint32_t pair = pairs[c[l].Window(pairBits)];
        if (pair != 0) [[likely]] {
          c[l].Refill();
          c[l].Consume(pair & 15);
          left = (pair >> 4) & 15;
          right = pair >> 8;
        } else {
          left = static_cast<uint32_t>(c[l].Decode(code));
          if (midSide) c[l].ReadBits(1);
          right = static_cast<uint32_t>(c[l].Decode(code));
        }
        const int32_t resL = d.resolutionMap[n][left];
        const int32_t resR = d.resolutionMap[n][right];
        s.selections += (resL != 0) + (resR != 0);
        *s.task = &taskOf[PairOf(resL, resR)];
        s.task += (resL | resR) != 0;  // any resolution but 0 carries sample bits
      });
    }

    // Section 2: per channel a pattern (how many indexes) and a flag (coded
    // as differences, or as plain 6-bit fields); without a branch on the
    // flag, which follows the data.
    ForLanes<N>([&](auto l) {
      st[l].pending = 0;
      st[l].stretchCount = 0;
    });
    // Several differential words at a time by the run table; one word at a
    // time where it holds none (a plain word first) or more than are left.
    const FastTable& select = f.table[Sv46ScfSelectCode];
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.selections == 0) return false;
      const uint32_t entry = f.sv46SelectRun[c[l].Window(kRunBits)];
      const uint32_t words = (entry >> 5) & 15;
      if (words - 1 < s.selections) [[likely]] {
        c[l].Refill();
        c[l].Consume(entry & 31);
        s.selections -= words;
        s.pending += entry >> 9;
        return s.selections != 0;
      }
      const int32_t v = c[l].Decode(select);
      const uint32_t indexes = kScaleFactorsOfPattern[v >> 1];
      const uint32_t differential = static_cast<uint32_t>(v & 1);
      s.stretches[s.stretchCount] = {s.pending, kScfIndexBits * indexes};  // kept if plain
      s.stretchCount += differential ^ 1;
      s.pending = (s.pending + indexes) & (0u - differential);
      return --s.selections != 0;
    });

    // Section 3: the stretches in turn.
    ForLanes<N>([&](auto l) {
      st[l].stretches[st[l].stretchCount++] = {st[l].pending, 0};
      st[l].stretch = 0;
    });
    const FastTable& delta = f.table[Sv46ScfDeltaCode];
    InStep<N>([&](auto l) {
      auto& s = st[l];
      if (s.stretch == s.stretchCount) return false;
      Stretch& here = s.stretches[s.stretch];
      if (here.codes != 0) {
        here.codes = ScaleFactorSteps(c[l], f.run[Sv46ScfDeltaCode], delta, here.codes);
        return true;
      }
      if (here.plainBits != 0) c[l].Skip(here.plainBits);
      return ++s.stretch != s.stretchCount;
    });
    ForLanes<N>([&](auto l) {
      c[l].Refill();  // at least 17 bits valid for the lanes
      cursors[l] = c[l];
      *st[l].task = &kEndTask;
    });
  }

  // Where the task of a pair of resolutions 0..kMaxResolution lies.
  static constexpr int PairOf(int32_t left, int32_t right) { return kResolutions * left + right; }

  // The task of each pair of resolutions, made once; `end` marks the pairs
  // that carry no sample bits.
  static const SampleTask* TaskOfResolutions(const FastTables& f) {
    static const std::array<SampleTask, kResolutions* kResolutions> tasks = [&f] {
      std::array<SampleTask, kResolutions * kResolutions> all{};
      for (int rl = 0; rl < kResolutions; ++rl) {
        for (int rr = 0; rr < kResolutions; ++rr) {
          SampleTask* t = &all[PairOf(rl, rr)];
          const bool codedL = IsCodedResolution(rl), codedR = IsCodedResolution(rr);
          const uint32_t width = FieldBitsOfResolution(rl) + FieldBitsOfResolution(rr);
          t->end = !codedL && !codedR && width == 0;
          t->skip = kSamplesPerSubband * width;
          if (codedL && codedR && rl != rr) {
            t->run[0] = f.alternating[rl][rr];
            t->half = f.alternatingHalf[rl][rr];
            t->single[0] = &f.table[Sv46SampleTableId(rl)];  // never needed: no word exceeds kRunBits
            t->count = 2 * kSamplesPerSubband;
          } else if (codedL || codedR) {
            const TableId id = Sv46SampleTableId(codedL ? rl : rr);
            t->run[0] = f.run[id];
            t->single[0] = &f.table[id];
            t->count = (codedL && codedR ? 2 : 1) * kSamplesPerSubband;
          }
        }
      }
      return all;
    }();
    return tasks.data();
  }
};

}  // namespace velkscan
