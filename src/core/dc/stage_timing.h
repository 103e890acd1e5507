#pragma once

// Stage timing of an extraction, for benchmarks (ExtractControls::timings):
// wall-clock and calling-thread CPU time of each stage, and how much of each
// was spent inside the field. CPU time of the calling thread is what a
// stage costs when the pool has one worker, whatever else the machine runs.

#include <time.h>

#include <chrono>
#include <span>

#include "dc/extract.h"
#include "field/field.h"

namespace karvex {

// A moment on both clocks.
struct Stamp {
  std::chrono::steady_clock::time_point wall;
  double cpu = 0.0;  // CPU seconds of the calling thread

  static Stamp now() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return {std::chrono::steady_clock::now(),
            static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec)};
  }
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

// Fills ExtractTimings stage by stage; does nothing when no timings were
// asked for.
class StageTimer {
 public:
  StageTimer(ExtractTimings* timings, const TimedField& field) : timings_(timings), field_(field) {}
  void begin() {
    if (!timings_) return;
    start_ = Stamp::now();
    field_start_ = field_.inside;
  }
  void end(ExtractTimings::Stage ExtractTimings::* stage) {
    if (!timings_) return;
    const Elapsed total = Elapsed::since(start_);
    ExtractTimings::Stage& s = timings_->*stage;
    s.seconds = total.wall;
    s.field_seconds = field_.inside.wall - field_start_.wall;
    s.cpu_seconds = total.cpu;
    s.field_cpu_seconds = field_.inside.cpu - field_start_.cpu;
  }

 private:
  ExtractTimings* timings_;
  const TimedField& field_;
  Stamp start_;
  Elapsed field_start_;
};

}  // namespace karvex
