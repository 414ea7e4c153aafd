// Times the training stages from C++: counting a corpus in memory, counting
// files, and the merge loop on the counts.
//
//   RAYON_NUM_THREADS=N build/dev/train_bench count FILE [--repeat K]
//   RAYON_NUM_THREADS=N build/dev/train_bench files VOCAB FILE...
//   RAYON_NUM_THREADS=N build/dev/train_bench train VOCAB FILE
//   RAYON_NUM_THREADS=N build/dev/train_bench quality FILE...
//
// `count` reads FILE into memory and counts it K times (best time reported);
// `files` counts the files in blocks, as training from files does, and trains
// on the counts; `train` reads FILE, counts and trains as the constructor
// does; `quality` counts the files as one text, as `tarvik quality` does, and
// times the quality check on the counts (best of three). Peak memory is the
// process's maximum resident set size.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/console.h"
#include "common/worker_pool.h"
#include "corpus/quality.h"
#include "training/batch_counter.h"
#include "training/chunk_counts.h"
#include "training/trainer.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

// CPU seconds of the whole process (all threads) so far: on a shared machine
// a steadier measure than the wall clock.
double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double peak_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

int fail(const tarvik::Error& error) {
  std::fprintf(stderr, "error: %s %s\n", error.message.c_str(), error.path.c_str());
  return 1;
}

void report_counts(const tarvik::training::ChunkCounts& counts) {
  std::printf("total bytes   %llu\ndistinct      %llu chunks, %llu bytes\n",
              static_cast<unsigned long long>(counts.total_bytes()),
              static_cast<unsigned long long>(counts.chunks().size()),
              static_cast<unsigned long long>(counts.distinct_bytes()));
}

int train_counts(tarvik::training::ChunkCounts counts, std::uint64_t vocab) {
  tarvik::MergeOptions options;
  options.target_vocab_size = vocab;
  options.show_progress = false;
  auto start = Clock::now();
  double cpu = cpu_seconds();
  auto vocab_result = tarvik::train_from_counts(std::move(counts), options, tarvik::write_stderr);
  if (!vocab_result.ok()) return fail(vocab_result.error());
  std::printf("merge loop    %.3f s, cpu %.3f s (vocab %llu)\n", seconds(start),
              cpu_seconds() - cpu, static_cast<unsigned long long>(vocab_result->vocab_size));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tarvik::training;
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: train_bench count FILE [--repeat K] | files VOCAB FILE... | "
                 "train VOCAB FILE | quality FILE...\n");
    return 2;
  }
  const std::string mode = argv[1];
  std::printf("runners       %zu\n", tarvik::WorkerPool::shared().size());
  if (mode == "count") {
    std::string corpus = read_file(argv[2]);
    int repeat = argc > 4 ? std::atoi(argv[4]) : 5;
    double best = 1e9, best_cpu = 1e9;
    for (int i = 0; i < repeat; ++i) {
      auto start = Clock::now();
      double cpu = cpu_seconds();
      auto counts = count_corpus(corpus);
      if (!counts.ok()) return fail(counts.error());
      best = std::min(best, seconds(start));
      best_cpu = std::min(best_cpu, cpu_seconds() - cpu);
      if (i == 0) report_counts(*counts);
    }
    std::printf("count         %.3f s best of %d (%.1f MB/s), cpu %.3f s\n", best, repeat,
                static_cast<double>(corpus.size()) / 1e6 / best, best_cpu);
    return 0;
  }
  if (mode == "quality") {
    std::vector<std::string> paths(argv + 2, argv + argc);
    auto counts = count_files(paths, true);
    if (!counts.ok()) return fail(counts.error());
    report_counts(*counts);
    double best = 1e9, best_cpu = 1e9;
    tarvik::QualityReport report;
    for (int i = 0; i < 3; ++i) {
      auto start = Clock::now();
      double cpu = cpu_seconds();
      report = tarvik::check_quality(*counts);
      best = std::min(best, seconds(start));
      best_cpu = std::min(best_cpu, cpu_seconds() - cpu);
    }
    std::printf("quality check %.3f s best of 3, cpu %.3f s (%llu words, %llu distinct)\n", best,
                best_cpu, static_cast<unsigned long long>(report.total_words),
                static_cast<unsigned long long>(report.unique_words));
    return 0;
  }
  const std::uint64_t vocab = std::strtoull(argv[2], nullptr, 10);
  if (mode == "files") {
    std::vector<std::string> paths(argv + 3, argv + argc);
    auto start = Clock::now();
    auto counts = count_files(paths, false);
    if (!counts.ok()) return fail(counts.error());
    std::printf("count files   %.3f s, cpu %.3f s\n", seconds(start), cpu_seconds());
    report_counts(*counts);
    int rc = train_counts(std::move(counts).value(), vocab);
    std::printf("total         %.3f s, peak %.1f MiB\n", seconds(start), peak_mib());
    return rc;
  }
  if (mode == "train" && argc == 4) {
    std::string corpus = read_file(argv[3]);
    auto start = Clock::now();
    double cpu = cpu_seconds();
    auto counts = count_corpus(corpus);
    if (!counts.ok()) return fail(counts.error());
    std::printf("count         %.3f s, cpu %.3f s\n", seconds(start), cpu_seconds() - cpu);
    int rc = train_counts(std::move(counts).value(), vocab);
    std::printf("total         %.3f s, peak %.1f MiB\n", seconds(start), peak_mib());
    return rc;
  }
  std::fprintf(stderr, "unknown mode\n");
  return 2;
}
