// The picker on this machine's real file systems, on Qt's offscreen platform.
//
// open_six_deep: from constructing the dialog to the tree opened along a
// start directory six folders below a temporary folder (each level holding
// 50 sibling folders), window shown and laid out. Target: under 100 ms.
//
// expand_10000: expanding a folder of 10 000 subfolders in an open picker:
// listing, sorted insertion and the relayout that shows them. Target: under
// 500 ms.
//
// Tearing the picker down is not timed. The folders are made once, in
// $TMPDIR (or /tmp), and removed at the end.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTreeWidgetItem>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "dlg_get_path.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root;

std::string deep_path() {
    return (g_root / "deep/level1/level2/level3/level4/level5/level6").string();
}

void make_folders() {
    std::string pattern = (fs::temp_directory_path() / "picker-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    g_root = fs::canonical(pattern);
    fs::path level = g_root / "deep";
    for (int depth = 1; depth <= 6; ++depth) {
        for (int i = 0; i < 50; ++i)
            fs::create_directories(level / ("sibling" + std::to_string(i)));
        level /= "level" + std::to_string(depth);
        fs::create_directories(level);
    }
    for (int i = 0; i < 10000; ++i)
        fs::create_directories(g_root / "wide/big" / ("folder" + std::to_string(i)));
}

void open_six_deep(benchmark::State& state) {
    for (auto _ : state) {
        {
            CDlgGetPath dlg;
            dlg.SetPath(deep_path());
            dlg.Create();
            dlg.show();
            QApplication::processEvents();
            state.PauseTiming();
            if (dlg.GetDlgItemText(1016) != deep_path() + "/")
                state.SkipWithError("walk fell short");
        }
        QApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(open_six_deep)->Unit(benchmark::kMillisecond)->Iterations(20);

void expand_10000(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        {
            CDlgGetPath dlg;
            dlg.SetPath((g_root / "wide").string());
            dlg.Create();
            dlg.show();
            QApplication::processEvents();
            HTREEITEM wide = dlg.m_tree.GetSelectedItem();
            HTREEITEM big = dlg.m_tree.GetChildItem(wide);
            state.ResumeTiming();
            dlg.m_tree.Expand(big, TVE_EXPAND);
            QApplication::processEvents();
            state.PauseTiming();
            if (big->childCount() != 10000) state.SkipWithError("listing fell short");
        }
        QApplication::processEvents();
        state.ResumeTiming();
    }
}
BENCHMARK(expand_10000)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    make_folders();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(g_root, ignored);
    return 0;
}
