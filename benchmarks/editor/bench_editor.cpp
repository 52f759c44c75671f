// The interactive editor's reaction time, measured in its screen model
// without a terminal: opening a 100 GiB sparse file and building the first
// screen, then key press to rebuilt screen model (a page down, a typed byte,
// an undo) at random offsets with 10^6 changes in the session, and the
// process's memory.
//   bench_editor [changes]   (default 1000000)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <algorithm>
#include <string>
#include <vector>

#include <unistd.h>

#include "../bench_support.h"
#include "editor.h"

using namespace vtool::editor;
namespace bench = vanto_bench;
using bench::Clock;

int main(int argc, char **argv) {
  int64_t changes = 1000000;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') changes = std::atoll(argv[i]);
  }
  const int64_t size = int64_t{100} << 30;
  const std::string path = bench::temp_path("editor-sparse");
  {
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || ::ftruncate(fileno(file), size) != 0) return 1;
    std::fclose(file);
  }
  const int64_t rss_start = bench::resident_bytes();
  auto start = Clock::now();
  {
    Editor e(path, {}, 120, 40);
    const Screen &first = e.screen();
    const double open_s = bench::seconds(Clock::now() - start);
    std::printf("open 100 GiB sparse file + first screen: %.4f s (%d rows of %d bytes)\n", open_s, first.data_rows,
                first.layout.bytes_per_row);

    std::mt19937_64 rng(42);
    start = Clock::now();
    for (int64_t i = 0; i < changes; ++i) {
      const auto at = static_cast<int64_t>(rng() % static_cast<uint64_t>(e.size()));
      switch (i % 3) {
        case 0: e.overwrite_action(at, "x"); break;
        case 1: e.insert_action(at, "yz"); break;
        default: e.delete_action(at, 1); break;
      }
    }
    std::printf("%lld edits (one action each) through the editor: %.2f s; session changes %lld, mark nodes %lld\n",
                static_cast<long long>(changes), bench::seconds(Clock::now() - start),
                static_cast<long long>(vanto_session_get_num_changes(e.session())),
                static_cast<long long>(e.marks().node_count()));

    std::vector<double> page, type, undo;
    for (int sample = 0; sample < 200; ++sample) {
      e.move_to(static_cast<int64_t>(rng() % static_cast<uint64_t>(e.size() - (1 << 20))));
      e.screen();
      auto t = Clock::now();
      e.handle_key(key::PageDown);
      e.screen();
      page.push_back(bench::micros(Clock::now() - t));
      t = Clock::now();
      e.handle_key('4');  // the high digit of the byte at the cursor
      e.screen();
      type.push_back(bench::micros(Clock::now() - t));
      t = Clock::now();
      e.handle_key('u');
      e.screen();
      undo.push_back(bench::micros(Clock::now() - t));
    }
    std::sort(page.begin(), page.end());
    std::sort(type.begin(), type.end());
    std::sort(undo.begin(), undo.end());
    auto p90 = [](const std::vector<double> &v) { return v[v.size() * 9 / 10]; };
    std::printf("key to screen model, median / p90 over %zu samples:\n", page.size());
    std::printf("  page down  %8.1f us / %8.1f us\n", bench::median(page), p90(page));
    std::printf("  type byte  %8.1f us / %8.1f us\n", bench::median(type), p90(type));
    std::printf("  undo       %8.1f us / %8.1f us\n", bench::median(undo), p90(undo));
    std::printf("resident memory: %.1f MiB at start, %.1f MiB with the changes\n",
                static_cast<double>(rss_start) / 1048576.0, static_cast<double>(bench::resident_bytes()) / 1048576.0);
  }
  std::remove(path.c_str());
  return 0;
}
