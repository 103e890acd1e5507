#pragma once

// Stage timing of an extraction, for benchmarks: the seconds each stage
// took (ExtractTimings), and the StageTimer that fills them: wall-clock and
// calling-thread CPU time of each stage, and how much of each was spent
// inside the field. CPU time of the calling thread is what a stage costs
// when the pool has one worker, whatever else the machine runs. Timing never
// changes the result; when nobody asked for it, it costs one test of a
// pointer per stage.

#include <chrono>
#include <cstdint>
#include <span>

#include "field/field.h"
#include "platform/platform.h"
#include "support/alloc_context.h"

namespace karvex {

// Seconds spent in each stage of one extraction, wall-clock and CPU time of
// the calling thread (which does all the work when the pool has one
// worker), and how much of each was spent inside the field. Filled only
// when asked for; asking never changes the result.
struct ExtractTimings {
  struct Stage {
    double seconds = 0.0;            // wall time of the stage
    double field_seconds = 0.0;      // of which inside the field
    double cpu_seconds = 0.0;        // CPU time of the calling thread in the stage
    double field_cpu_seconds = 0.0;  // of which inside the field
  };
  Stage cells;       // walk, cell lookup, vertex slots
  Stage crossings;   // sign-changing edges (parallel)
  Stage locate;      // eight bisection batches
  Stage normals;     // normal batch (and finite differences), accumulation, sharp slots
  Stage qefs;        // solve jobs (with simplification)
  Stage solve;       // vertex solve (parallel; without simplification also the numbering)
  Stage emit;        // output numbering: no longer a stage of its own (kept at zero)
  Stage collapse;    // collapsing cells by merged error (with simplification)
  Stage projection;  // Newton steps (parallel updates)
  Stage faces;       // face generation (parallel)
  Stage cleanup;     // largest component
  std::uint64_t cells_count = 0;
  std::uint64_t crossing_count = 0;
  std::uint64_t vertex_count = 0;    // emitted, before cleanup
  std::uint64_t triangle_count = 0;  // generated, before cleanup
};

// A moment on both clocks.
struct Stamp {
  std::chrono::steady_clock::time_point wall;
  double cpu = 0.0;  // CPU seconds of the calling thread

  static Stamp now() { return {std::chrono::steady_clock::now(), platform::thread_cpu_seconds()}; }
};

// Seconds on both clocks.
struct Elapsed {
  double wall = 0.0;
  double cpu = 0.0;

  static Elapsed since(const Stamp& start) {
    const Stamp end = Stamp::now();
    return {std::chrono::duration<double>(end.wall - start.wall).count(), end.cpu - start.cpu};
  }
  Elapsed& operator+=(const Elapsed& other) {
    wall += other.wall;
    cpu += other.cpu;
    return *this;
  }
};

// Forwards to the caller's field, adding up the time spent inside it. The
// work of the callbacks it is handed (writing the points, consuming the
// result) is not the field's: the clocks stop while they run.
class TimedField : public Field {
 public:
  explicit TimedField(Field& inner) : inner_(inner) {}

  EvalResult evaluate(std::span<const Vec3> points) override {
    Running running(*this);
    return inner_.evaluate(points);
  }
  void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) override {
    Running running(*this);
    inner_.evaluate_view(points, [&](const EvalView& view) {
      const Paused paused(running);
      consume(view);
    });
  }
  void evaluate_written(std::size_t count, const PointWriter& write,
                        const EvalConsumer& consume) override {
    Running running(*this);
    inner_.evaluate_written(
        count,
        [&](std::span<Vec3> out) {
          const Paused paused(running);
          write(out);
        },
        [&](const EvalView& view) {
          const Paused paused(running);
          consume(view);
        });
  }

  bool pointwise() const override { return inner_.pointwise(); }
  // Called on the pool's workers, where the calling thread's clocks do not
  // run: not timed (the time shows in the stage, outside the field).
  bool sample_on_worker(std::span<const Vec3> points, std::span<double> values,
                        std::span<Vec3> gradients) override {
    return inner_.sample_on_worker(points, values, gradients);
  }

  Field& inner() const { return inner_; }

  Elapsed inside;

 private:
  // Adds the time from its creation to its end to `inside`, except pauses.
  struct Running {
    explicit Running(TimedField& field) : field(field), start(Stamp::now()) {}
    ~Running() { field.inside += Elapsed::since(start); }
    TimedField& field;
    Stamp start;
  };
  struct Paused {
    explicit Paused(Running& running) : running(running) {
      running.field.inside += Elapsed::since(running.start);
    }
    ~Paused() { running.start = Stamp::now(); }
    Running& running;
  };

  Field& inner_;
};

// What a stage does, as an allocation failure reports it.
inline const char* stage_description(ExtractTimings::Stage ExtractTimings::* stage) {
  using T = ExtractTimings;
  if (stage == &T::cells) return "collecting surface cells";
  if (stage == &T::crossings) return "finding sign-changing edges";
  if (stage == &T::locate) return "locating crossings";
  if (stage == &T::normals) return "computing normals";
  if (stage == &T::qefs) return "preparing vertex solves";
  if (stage == &T::solve) return "solving vertex positions";
  if (stage == &T::emit) return "numbering vertices";
  if (stage == &T::collapse) return "collapsing cells";
  if (stage == &T::projection) return "projecting vertices onto the surface";
  if (stage == &T::faces) return "generating faces";
  if (stage == &T::cleanup) return "keeping the largest component";
  return "an unnamed stage";
}

// Fills ExtractTimings stage by stage, or does nothing when `timings` is
// null. stage() closes the open stage and opens the next, so a driver marks
// where each stage begins and nothing else; stop(), or the end of the
// timer's life, closes the last one.
class StageTimer {
 public:
  StageTimer(ExtractTimings* timings, Field& field) : timings_(timings), timed_(field) {}
  ~StageTimer() { stop(); }
  StageTimer(const StageTimer&) = delete;
  StageTimer& operator=(const StageTimer&) = delete;

  // The field the stages must call: the caller's own, or, when timing, the
  // caller's wrapped so that the time spent inside it is counted.
  Field& field() { return timings_ ? static_cast<Field&>(timed_) : timed_.inner(); }

  // Also names the stage in the calling thread's work context (for the
  // report of an allocation failure), timings or not.
  void stage(ExtractTimings::Stage ExtractTimings::* stage) {
    set_work_stage(stage_description(stage));
    if (!timings_) return;
    stop();
    open_ = stage;
    start_ = Stamp::now();
    field_start_ = timed_.inside;
  }

  void stop() {
    if (!timings_ || !open_) return;
    const Elapsed total = Elapsed::since(start_);
    ExtractTimings::Stage& s = timings_->*open_;
    s.seconds = total.wall;
    s.field_seconds = timed_.inside.wall - field_start_.wall;
    s.cpu_seconds = total.cpu;
    s.field_cpu_seconds = timed_.inside.cpu - field_start_.cpu;
    open_ = nullptr;
  }

  // Records one of the counts of ExtractTimings.
  void count(std::uint64_t ExtractTimings::* counter, std::uint64_t value) {
    if (timings_) timings_->*counter = value;
  }

 private:
  ExtractTimings* timings_;
  TimedField timed_;
  ExtractTimings::Stage ExtractTimings::* open_ = nullptr;
  Stamp start_;
  Elapsed field_start_;
};

}  // namespace karvex
