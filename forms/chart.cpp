#include "forms/chart.h"

#include <qcustomplot.h>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QTimeZone>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "record/recordreader.h"

namespace {

// The kind of each row, top to bottom: values of one kind share an axis.
constexpr int kKindOf[kSensorRows] = {0, 1, 2, 2, 2, 3, 4, 4, 5, 6, 7, 8, 8};
constexpr int kKinds = 9;
const QColor kColours[kSensorRows] = {
    QColor(0xd6, 0x27, 0x28), QColor(0x1f, 0x77, 0xb4), QColor(0x7f, 0x7f, 0x7f),
    QColor(0x2c, 0xa0, 0x2c), QColor(0x17, 0xbe, 0xcf), QColor(0x94, 0x67, 0xbd),
    QColor(0x8c, 0x56, 0x4b), QColor(0xe3, 0x77, 0xc2), QColor(0xff, 0x7f, 0x0e),
    QColor(0xbc, 0xbd, 0x22), QColor(0x00, 0x00, 0x00), QColor(0xff, 0x98, 0x96),
    QColor(0xaa, 0x40, 0x00),
};
const int kWindows[] = {10, 30, 60, 120, 300, 600};
// Shown at first: engine speed, load and mixture.
const int kFirstShown[] = {0, 1, 3};

QString WindowText(int seconds) {
    return seconds < 60 ? QString("%1 s").arg(seconds) : QString("%1 min").arg(seconds / 60);
}

}  // namespace

TChartDlg::TChartDlg(bool isLive, QWidget* parent) : QWidget(parent), live(isLive) {
    setObjectName("chartDlg");
    plot = new QCustomPlot;
    plot->setObjectName("plot");
    // Lines without antialiasing: a third of the drawing time with 13 long series.
    plot->setNotAntialiasedElements(QCP::aePlottables);
    plot->setPlottingHints(QCP::phFastPolylines | QCP::phCacheLabels);
    plot->setMouseTracking(true);

    auto ticker = QSharedPointer<QCPAxisTickerDateTime>::create();
    ticker->setDateTimeFormat("HH:mm:ss");
    plot->xAxis->setTicker(ticker);
    plot->axisRect()->setRangeDrag(Qt::Horizontal);
    plot->axisRect()->setRangeZoom(Qt::Horizontal);
    plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);

    const std::vector<TSensorRow> rows = SensorRows(SensorRecord{});
    for (int kind = 0; kind < kKinds; ++kind) {
        QCPAxis* axis =
            kind == 0   ? plot->yAxis
            : kind == 1 ? plot->yAxis2
                        : plot->axisRect()->addAxis(kind % 2 ? QCPAxis::atRight : QCPAxis::atLeft);
        axis->setVisible(false);
        axes.push_back(axis);
    }
    valuesList = new QTreeWidget;
    valuesList->setObjectName("valuesList");
    valuesList->setColumnCount(2);
    valuesList->setHeaderLabels({"Value", "At cursor"});
    valuesList->setRootIsDecorated(false);
    valuesList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    valuesList->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    for (int row = 0; row < kSensorRows; ++row) {
        QCPGraph* graph = plot->addGraph(plot->xAxis, axes[kKindOf[row]]);
        graph->setName(rows[row].caption);
        graph->setPen(QPen(kColours[row], 1.5));
        graph->setVisible(false);
        graphs[row] = graph;
        auto* item = new QTreeWidgetItem(valuesList, {rows[row].caption, QString()});
        QPixmap swatch(12, 12);
        swatch.fill(kColours[row]);
        item->setIcon(0, QIcon(swatch));
        item->setCheckState(0, Qt::Unchecked);
        item->setTextAlignment(1, Qt::AlignRight | Qt::AlignVCenter);
    }
    valuesList->setMinimumWidth(valuesList->fontMetrics().horizontalAdvance("Ignition Timing") +
                                valuesList->fontMetrics().horizontalAdvance("65535") + 90);
    valuesList->setMaximumWidth(valuesList->minimumWidth() + 60);
    cursorLine = new QCPItemStraightLine(plot);
    cursorLine->setPen(QPen(Qt::darkGray, 1, Qt::DashLine));
    cursorLine->setVisible(false);

    windowCbx = new QComboBox;
    windowCbx->setObjectName("windowCbx");
    for (int seconds : kWindows) {
        windowCbx->addItem(WindowText(seconds), seconds);
    }
    pauseBtn = new QToolButton;
    pauseBtn->setObjectName("pauseBtn");
    pauseBtn->setCheckable(true);
    pauseBtn->setText("Pause");
    pauseBtn->setVisible(live);
    cursorLbl = new QLabel;
    cursorLbl->setObjectName("cursorLbl");
    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel("Show"));
    bar->addWidget(windowCbx);
    bar->addWidget(pauseBtn);
    bar->addStretch();
    bar->addWidget(cursorLbl);
    auto* right = new QVBoxLayout;
    right->addLayout(bar);
    right->addWidget(plot, 1);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(valuesList);
    layout->addLayout(right, 1);
    resize(sizeHint());

    connect(valuesList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
        if (column == 0) {
            const int row = valuesList->indexOfTopLevelItem(item);
            const bool shown = item->checkState(0) == Qt::Checked;
            if (row >= 0 && graphs[row]->visible() != shown) {
                SetShown(row, shown);
            }
        }
    });
    connect(windowCbx, &QComboBox::activated, this,
            [this](int index) { SetWindowSeconds(windowCbx->itemData(index).toInt()); });
    connect(pauseBtn, &QToolButton::toggled, this, &TChartDlg::SetPaused);
    // Looking back (a drag, the wheel) pauses a live chart.
    connect(plot, &QCustomPlot::mousePress, this, [this](QMouseEvent* e) {
        if (e->button() == Qt::LeftButton && plot->axisRect()->rect().contains(e->pos())) {
            SetCursorAt(plot->xAxis->pixelToCoord(e->pos().x()));
        }
    });
    connect(plot, &QCustomPlot::mouseMove, this, [this](QMouseEvent* e) {
        if (e->buttons() != Qt::NoButton) {
            if (live && !paused) {
                SetPaused(true);
            }
        } else if (plot->axisRect()->rect().contains(e->pos())) {
            SetCursorAt(plot->xAxis->pixelToCoord(e->pos().x()));
        }
    });
    connect(plot, &QCustomPlot::mouseWheel, this, [this](QWheelEvent*) {
        if (live && !paused) {
            SetPaused(true);
        }
    });
    connect(plot->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
        if (paused) {
            RescaleValues();
        }
    });
    // Live: at most 30 redraws a second, and none before the newest record has moved the
    // plot by a pixel.
    redraw.setInterval(kMinRedrawMs);
    connect(&redraw, &QTimer::timeout, this, [this] {
        const int width = std::max(1, plot->axisRect()->width());
        if (dirty && !paused && sinceRedraw.elapsed() >= windowSeconds * 1000 / width) {
            dirty = false;
            Follow();
            Redraw();
        }
    });
    for (int row : kFirstShown) {
        SetShown(row, true);
    }
}

TChartDlg::TChartDlg(const TRecordClock& recordClock, QWidget* parent) : TChartDlg(true, parent) {
    clock = recordClock;
    setWindowTitle("Chart");
    SetZone(clock.OffsetMinutes());
    SetWindowSeconds(windowSeconds);
    redraw.start();
}

TChartDlg::TChartDlg(const TRecording& recording, const QString& name, QWidget* parent)
    : TChartDlg(false, parent) {
    setWindowTitle("Recording: " + name);
    SetZone(recording.offsetMinutes);
    windowCbx->insertItem(0, "All", 0);
    windowCbx->setCurrentIndex(0);
    paused = true;
    const size_t n = recording.Rows();
    for (int row = 0; row < kSensorRows; ++row) {
        QVector<QCPGraphData> data;
        data.reserve(static_cast<int>(n + n / 64 + 1));
        for (size_t i = 0; i < n; ++i) {
            const double x = (recording.startUtcMs + recording.ms[i]) / 1000.0;
            if (i > 0 && recording.ms[i] - recording.ms[i - 1] > kGap.count()) {
                data.append(QCPGraphData(x - 0.0005, qQNaN()));
            }
            data.append(QCPGraphData(x, recording.values[row][i]));
        }
        graphs[row]->data()->set(data, true);
    }
    if (n > 0) {
        any = true;
        newest = (recording.startUtcMs + recording.ms.back()) / 1000.0;
        const double first = (recording.startUtcMs + recording.ms.front()) / 1000.0;
        plot->xAxis->setRange(first, std::max(newest, first + 1));
    }
    RescaleValues();
    Redraw();
}

void TChartDlg::SetZone(int offsetMinutes) {
    zone = QTimeZone(offsetMinutes * 60);
    plot->xAxis->ticker().staticCast<QCPAxisTickerDateTime>()->setTimeZone(zone);
}

void TChartDlg::Append(const std::vector<TECU::TTimedRecord>& records) {
    for (const TECU::TTimedRecord& r : records) {
        if (any && r.time <= last) {
            continue;  // shown already
        }
        const double x = std::chrono::duration<double>(clock.Wall(r.time)).count();
        if (any && r.time - last > kGap) {
            for (QCPGraph* graph : graphs) {
                graph->addData(newest + 0.0005, qQNaN());
            }
        }
        const TRecordValues values = RecordValues(r.record);
        for (int row = 0; row < kSensorRows; ++row) {
            graphs[row]->addData(x, values[row]);
        }
        last = r.time;
        newest = x;
        any = true;
    }
    if (!records.empty()) {
        for (QCPGraph* graph : graphs) {
            graph->data()->removeBefore(newest - kMaxWindowSeconds - 1);
        }
        dirty = true;
    }
}

void TChartDlg::SetShown(int row, bool shown) {
    if (row < 0 || row >= kSensorRows) {
        return;
    }
    graphs[row]->setVisible(shown);
    QTreeWidgetItem* item = valuesList->topLevelItem(row);
    if ((item->checkState(0) == Qt::Checked) != shown) {
        item->setCheckState(0, shown ? Qt::Checked : Qt::Unchecked);
    }
    Arrange();
    RescaleValues();
    ShowCursor();
    Redraw();
}

bool TChartDlg::Shown(int row) const {
    return row >= 0 && row < kSensorRows && graphs[row]->visible();
}

void TChartDlg::Arrange() {
    for (int kind = 0; kind < kKinds; ++kind) {
        QStringList names;
        QColor colour;
        for (int row = 0; row < kSensorRows; ++row) {
            if (kKindOf[row] == kind && graphs[row]->visible()) {
                names << graphs[row]->name();
                if (!colour.isValid()) {
                    colour = kColours[row];
                }
            }
        }
        QCPAxis* axis = axes[kind];
        axis->setVisible(!names.isEmpty());
        axis->setLabel(names.join(", "));
        axis->setLabelColor(colour);
        axis->setTickLabelColor(colour);
        axis->setBasePen(QPen(colour));
        axis->setTickPen(QPen(colour));
        axis->setSubTickPen(QPen(colour));
    }
}

void TChartDlg::SetWindowSeconds(int seconds) {
    const int index = windowCbx->findData(seconds);
    if (index >= 0) {
        windowCbx->setCurrentIndex(index);
    }
    if (seconds <= 0) {  // a recording, all of it
        if (!live) {
            bool found = false;
            const QCPRange all = graphs[0]->data()->keyRange(found);
            plot->xAxis->setRange(all.lower, std::max(all.upper, all.lower + 1));
        }
    } else {
        windowSeconds = seconds;
        if (live && !paused) {
            Follow();
        } else {
            const double lower = plot->xAxis->range().lower;
            plot->xAxis->setRange(lower, lower + seconds);
        }
    }
    RescaleValues();
    Redraw();
}

void TChartDlg::SetPaused(bool pause) {
    if (!live || paused == pause) {
        return;
    }
    paused = pause;
    pauseBtn->setChecked(pause);
    pauseBtn->setText(pause ? "Live" : "Pause");
    if (!paused) {
        Follow();
        Redraw();
    }
}

void TChartDlg::Follow() {
    plot->xAxis->setRange(newest - windowSeconds, newest);
    RescaleValues();
}

void TChartDlg::RescaleValues() {
    const QCPRange inView = plot->xAxis->range();
    for (int kind = 0; kind < kKinds; ++kind) {
        bool found = false;
        QCPRange range;
        for (int row = 0; row < kSensorRows; ++row) {
            if (kKindOf[row] != kind || !graphs[row]->visible()) {
                continue;
            }
            bool has = false;
            const QCPRange r = graphs[row]->getValueRange(has, QCP::sdBoth, inView);
            if (has) {
                range =
                    found ? QCPRange(std::min(range.lower, r.lower), std::max(range.upper, r.upper))
                          : r;
                found = true;
            }
        }
        if (found) {
            const double margin = std::max(1.0, range.size() * 0.05);
            axes[kind]->setRange(range.lower - margin, range.upper + margin);
        }
    }
}

void TChartDlg::Redraw() {
    ++redraws;
    sinceRedraw.start();
    plot->replot(QCustomPlot::rpQueuedReplot);
}

double TChartDlg::ViewLower() const {
    return plot->xAxis->range().lower;
}

double TChartDlg::ViewUpper() const {
    return plot->xAxis->range().upper;
}

void TChartDlg::SetCursorAt(double seconds) {
    cursorAt = seconds;
    cursorLine->point1->setCoords(seconds, 0);
    cursorLine->point2->setCoords(seconds, 1);
    cursorLine->setVisible(true);
    ShowCursor();
    Redraw();
}

QString TChartDlg::CursorValue(int row) const {
    if (!cursorAt || row < 0 || row >= kSensorRows || !graphs[row]->visible()) {
        return {};
    }
    const auto data = graphs[row]->data();
    auto it = data->findEnd(*cursorAt, false);
    if (it == data->constBegin()) {
        return "-";
    }
    --it;
    if (std::isnan(it->value) || (*cursorAt - it->key) * 1000 > kGap.count()) {
        return "-";
    }
    // As many decimals as the Engine Data window shows for the row.
    static const std::vector<TSensorRow> rows = SensorRows(SensorRecord{});
    const int decimals = rows[row].value.find('.') != std::string::npos ? 1 : 0;
    return QString::number(it->value, 'f', decimals);
}

void TChartDlg::ShowCursor() {
    if (!cursorAt) {
        return;
    }
    cursorLbl->setText(QDateTime::fromMSecsSinceEpoch(std::llround(*cursorAt * 1000), zone)
                           .toString("HH:mm:ss.zzz"));
    for (int row = 0; row < kSensorRows; ++row) {
        valuesList->topLevelItem(row)->setText(1, CursorValue(row));
    }
}
