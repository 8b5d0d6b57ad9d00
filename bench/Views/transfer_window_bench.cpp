// What one change costs the "File Transfers" window, with few rows in it and with many: the
// model and its Qt view on the offscreen platform, each change applied on the main queue and then
// drawn the way the application's loop draws it (posted events, then the paint of what changed).
//
// Changes: a progress report on a row in sight (Progress), and a row added at the end while the
// oldest running row finishes and leaves on the next turn (AddAndFinish: the rows below it move up
// one place). Each iteration checks that the window painted; one that did not fails the run, so a
// view that skipped the work cannot look fast. The sizes alternate repetition by repetition, and
// the summary at the end gives the medians per change (wall and CPU) and the ratio of the large
// window to the small one, with the spread of the ratios of the repetition pairs.
//
// Run with taskset -c 0,1 for 2 CPUs; --window_repetitions=N (default 9) sets the pairs.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QEvent>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/Core/ManualDispatchQueue.h"
#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/TransferProgressWindow.h"
#include "QuillmereProfiles/UI/Views/TransferProgressWindowView.h"

using namespace qm;

namespace {

constexpr int smallWindow = 10;
constexpr int largeWindow = 5000;
int repetitions = 9;

QApplication& application() {
    static int argc = 1;
    static char name[] = "transfer_window_bench";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Counts the paint events the window's widgets receive.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return false;
    }
};

// The window with `rows` running rows, shown.
struct Window {
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
    std::shared_ptr<ManualDispatchQueue> main = clock->makeQueue("main");
    std::shared_ptr<FileTransferCenter> center = FileTransferCenter::make(main);
    std::unique_ptr<TransferProgressWindowView> view;
    std::deque<UUID> running;
    PaintCounter counter;

    explicit Window(int rows) {
        view = std::make_unique<TransferProgressWindowView>(center);
        for (int i = 0; i < rows; ++i) add();
        settle();
        application().installEventFilter(&counter);
    }
    ~Window() { application().removeEventFilter(&counter); }

    void add() {
        const UUID id = UUID::random();
        center->addTask({id, FileTransferDirection::incoming, "Viewer", 1, 1'000'000, {"report.pdf"}}, [] {});
        running.push_back(id);
    }
    // The main queue's turn, then the loop's: posted events, layout and paint.
    void settle() {
        main->runUntilIdle();
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
};

void requirePaint(benchmark::State& state, Window& window, int before) {
    if (window.counter.paints == before) state.SkipWithError("the window painted nothing for the change");
}

void BM_Progress(benchmark::State& state) {
    application();
    Window window(static_cast<int>(state.range(0)));
    const UUID inSight = window.running.front();
    std::uint64_t bytes = 0;
    for (auto _ : state) {
        const int before = window.counter.paints;
        bytes += 4096;
        window.center->updateProgress(inSight, bytes % 1'000'000, 1'000'000);
        window.settle();
        requirePaint(state, window, before);
    }
    state.SetLabel(std::to_string(window.center->stack().size()) + " rows");
}

void BM_AddAndFinish(benchmark::State& state) {
    application();
    Window window(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const int before = window.counter.paints;
        window.add();
        window.center->completeTask(window.running.front(), "Saved 1 item(s) to Incoming", 0);
        window.running.pop_front();
        window.settle();
        requirePaint(state, window, before);
    }
    if (window.center->stack().size() != static_cast<std::size_t>(state.range(0)))
        state.SkipWithError("the window did not keep its number of rows");
    state.SetLabel(std::to_string(window.center->stack().size()) + " rows");
}

// Small and large alternate, and which goes first alternates too, so load from elsewhere on the
// machine falls on both alike.
void registerAlternating() {
    for (const auto& [name, function] :
         {std::pair{"BM_Progress", &BM_Progress}, std::pair{"BM_AddAndFinish", &BM_AddAndFinish}}) {
        for (int repetition = 0; repetition < repetitions; ++repetition) {
            for (int side = 0; side < 2; ++side) {
                const bool small = (side == 0) == (repetition % 2 == 0);
                benchmark::RegisterBenchmark(name, function)
                    ->Arg(small ? smallWindow : largeWindow)
                    ->MinTime(0.2)
                    ->Unit(benchmark::kMicrosecond);
            }
        }
    }
}

// The console's lines, then per change: the medians of wall and CPU time per change for each size
// and the ratio large / small, as the ratio of the medians with the median and range of the
// per-pair ratios in brackets.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            auto& series = series_[run.run_name.function_name][run.run_name.args];
            const auto n = static_cast<double>(run.iterations);
            series.wall.push_back(run.real_accumulated_time / n * 1e6);
            series.cpu.push_back(run.cpu_accumulated_time / n * 1e6);
        }
    }

    void printSummary() const {
        std::printf("\nPer change, medians of %d repetitions (us); ratio = %d rows / %d rows: of the medians "
                    "[median, lowest-highest of the pairs]\n",
                    repetitions, largeWindow, smallWindow);
        std::printf("%-16s %10s %10s %24s %10s %10s %24s\n", "change", "wall 10", "wall 5000", "wall ratio", "CPU 10",
                    "CPU 5000", "CPU ratio");
        for (const auto& [name, sizes] : series_) {
            const auto small = sizes.find(std::to_string(smallWindow));
            const auto large = sizes.find(std::to_string(largeWindow));
            if (small == sizes.end() || large == sizes.end()) continue;
            std::printf("%-16s %10.1f %10.1f %24s %10.1f %10.1f %24s\n", name.c_str(), median(small->second.wall),
                        median(large->second.wall), ratio(large->second.wall, small->second.wall).c_str(),
                        median(small->second.cpu), median(large->second.cpu),
                        ratio(large->second.cpu, small->second.cpu).c_str());
        }
    }

private:
    struct Series {
        std::vector<double> wall, cpu;
    };
    static double median(std::vector<double> v) {
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        const auto mid = v.size() / 2;
        return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
    }
    static std::string ratio(const std::vector<double>& top, const std::vector<double>& bottom) {
        std::vector<double> pairs;
        for (std::size_t i = 0; i < std::min(top.size(), bottom.size()); ++i) {
            if (bottom[i] > 0) pairs.push_back(top[i] / bottom[i]);
        }
        if (pairs.empty() || median(bottom) <= 0) return "-";
        const auto [low, high] = std::minmax_element(pairs.begin(), pairs.end());
        char text[64];
        std::snprintf(text, sizeof text, "%.2fx [%.2fx, %.2f-%.2f]", median(top) / median(bottom), median(pairs), *low,
                      *high);
        return text;
    }
    std::map<std::string, std::map<std::string, Series>> series_;
};

// Takes `--window_repetitions=N` (1-99) out of the arguments before the library reads them.
void takeRepetitions(int& argc, char** argv) {
    static constexpr std::string_view flag = "--window_repetitions=";
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        if (argument.substr(0, flag.size()) == flag) {
            repetitions = std::clamp(std::atoi(argv[i] + flag.size()), 1, 99);
        } else {
            argv[kept++] = argv[i];
        }
    }
    argc = kept;
}

}  // namespace

int main(int argc, char** argv) {
    takeRepetitions(argc, argv);
    QuillmereL10n::configure({});
    registerAlternating();
    benchmark::Initialize(&argc, argv);
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.printSummary();
    benchmark::Shutdown();
    return 0;
}
