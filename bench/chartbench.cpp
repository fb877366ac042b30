// brindle_chart_bench: the chart's side of the benchmarks, run by brindle_bench under Xvfb.
//   live SECONDS   the CPU share of a live chart with all thirteen values in a full 10-minute
//                  window, fed 70 records a second; prints the percentage of a core
//   open FILE      reads a recording and shows it in a chart; prints the seconds it took
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include <qcustomplot.h>

#include "forms/chart.h"
#include "record/recordreader.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A record that changes with time, as an engine's do.
TECU::TTimedRecord Record(int64_t ms) {
    const auto wave = [ms](int period, int lo, int hi) {
        const int64_t t = ms % period;
        return lo + (hi - lo) * (t < period / 2 ? t : period - t) / (period / 2);
    };
    TSensorValues v;
    v.rpm = static_cast<uint16_t>(wave(20000, 900, 6500));
    v.map = static_cast<uint16_t>(wave(7000, 30, 100));
    v.inj = static_cast<uint16_t>(wave(9000, 2000, 12000));
    v.afr1 = v.afr2 = v.target = static_cast<uint16_t>(wave(3000, 110, 150));
    v.tps = static_cast<uint8_t>(wave(5000, 0, 100));
    v.clt = 85;
    v.mat = 40;
    v.battRaw = 118;
    v.adv = static_cast<uint8_t>(wave(11000, 10, 35));
    v.egt1 = v.egt2 = static_cast<uint16_t>(wave(30000, 400, 850));
    return {std::chrono::milliseconds(ms), EncodeSensors(v)};
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc == 3 && !std::strcmp(argv[1], "live")) {
        const double seconds = std::atof(argv[2]);
        constexpr int kRate = 70;
        TChartDlg chart(TRecordClock::Now(std::chrono::microseconds(0)));
        for (int row = 0; row < kSensorRows; ++row) {
            chart.SetShown(row, true);
        }
        chart.SetWindowSeconds(TChartDlg::kMaxWindowSeconds);
        chart.resize(1200, 700);  // a chart window given most of the screen
        chart.show();
        std::vector<TECU::TTimedRecord> records;
        int64_t sent = 0;  // records so far, one every 1000 / 70 ms
        const auto feed = [&](int64_t upToMs) {
            records.clear();
            for (; sent * 1000 / kRate <= upToMs; ++sent) {
                records.push_back(Record(sent * 1000 / kRate));
            }
            chart.Append(records);
        };
        feed(TChartDlg::kMaxWindowSeconds * 1000);  // a full window
        QElapsedTimer clock;
        clock.start();
        const int64_t base = TChartDlg::kMaxWindowSeconds * 1000;
        QTimer drain;  // as the main window hands records on
        QObject::connect(&drain, &QTimer::timeout, [&] { feed(base + clock.elapsed()); });
        drain.start(50);
        double cpu0 = 0;
        int64_t wall0 = 0;
        int redraws0 = 0;
        QTimer::singleShot(2000, [&] {
            cpu0 = CpuSeconds();
            wall0 = clock.elapsed();
            redraws0 = chart.Redraws();
        });
        QTimer::singleShot(static_cast<int>(2000 + seconds * 1000), [&] {
            const double wall = (clock.elapsed() - wall0) / 1000.0;
            std::printf("%.2f %.2f %d\n", 100 * (CpuSeconds() - cpu0) / wall,
                        (chart.Redraws() - redraws0) / wall, chart.plot->axisRect()->width());
            app.quit();
        });
        return QApplication::exec();
    }
    if (argc == 3 && !std::strcmp(argv[1], "open")) {
        QElapsedTimer clock;
        clock.start();
        TRecording recording;
        std::string error;
        if (!LoadRecording(argv[2], recording, error)) {
            std::fprintf(stderr, "brindle_chart_bench: %s\n", error.c_str());
            return 1;
        }
        const double read = clock.elapsed() / 1000.0;
        TChartDlg chart(recording, "bench");
        chart.show();
        chart.plot->replot(QCustomPlot::rpImmediateRefresh);
        QApplication::processEvents();
        std::printf("%.3f %.3f %zu\n", clock.elapsed() / 1000.0, read, recording.Rows());
        return 0;
    }
    std::fprintf(stderr, "usage: brindle_chart_bench live SECONDS | open FILE\n");
    return 2;
}
