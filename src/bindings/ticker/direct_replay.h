// The state of one replay on the caller's thread (direct_replay.cpp): its
// rows, how far iteration or a drive got, and what a drive keeps.
#pragma once

#include <nanobind/nanobind.h>

#include <algorithm>
#include <memory>

#include "common/args.h"
#include "ticker/compiled_strategy.h"
#include "ticker/latest_ticks.h"
#include "ticker/tick_rows.h"
#include "ticker/unread_reports.h"

namespace orva::py::ticker {

struct DirectReplay {
  std::unique_ptr<MergedDays> backfill, main;
  bool marker = false;  // a finish-backfilling marker is due between the two
  Py_ssize_t at = 0;
  bool driving = false;
  // What a drive keeps across the host's callbacks is owned here, never by a
  // frame: a daemon thread stopped inside a callback at exit unwinds through
  // the loop without freeing anything.
  nb::object record, bars;
  LatestTicks latest;  // the ticks not filed with the exchange and the quotes yet
  nb::object handed = nb::none();  // the record last handed to the strategy, as paced runs keep it
  nb::object failed = nb::none();  // (callback name, record) when a callback raised
  std::unique_ptr<CompiledRun> compiled;  // a compiled strategy's, for one drive
  std::unique_ptr<MutedReports> muted;    // while the strategy reads no reports

  Py_ssize_t size() const {
    return (backfill ? backfill->size() : 0) + (marker ? 1 : 0) + (main ? main->size() : 0);
  }
  // Of the days of tables already dropped: read, with ticks, most held at once.
  Py_ssize_t dropped_loaded = 0, dropped_total = 0, dropped_most = 0;
  nb::dict replayed;  // ticks handed out per code (backfill aside), kept past the end

  // Ticks handed out per code, backfill aside: what was replayed, even when a
  // day was re-imported after it was counted.
  nb::dict replayed_by_code() const {
    if (!main) return nb::borrow<nb::dict>(checked(PyDict_Copy(replayed.ptr())));  // the host's own
    nb::dict counts;
    for (size_t i = 0; i < main->source_count(); ++i) {
      const MergedDays::Source& source = main->source(i);
      nb::object before = item_or_none(counts, source.code);
      counts[source.code] = (before.is_none() ? 0 : nb::cast<Py_ssize_t>(before)) + source.handed;
    }
    return counts;
  }

  void finish() {
    if (main) replayed = replayed_by_code();
    for (const auto* rows : {backfill.get(), main.get()}) {
      if (!rows) continue;
      dropped_loaded += rows->days_loaded();
      dropped_total += rows->day_count();
      dropped_most = std::max<Py_ssize_t>(dropped_most, rows->most_days_held());
    }
    latest.clear();
    backfill.reset();  // the tables are no longer needed
    main.reset();
    compiled.reset();
    muted.reset();
    marker = false;
    at = 0;
  }
};

// The replay's counters as properties of its class (replay_counts.cpp).
void bind_replay_counts(nb::class_<DirectReplay>& direct);

}  // namespace orva::py::ticker
