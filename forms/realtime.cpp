#include "forms/realtime.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QVBoxLayout>

#include "ecu/ecu.h"
#include "ecu/sensorrecord.h"

namespace {
// At the normal font: the first row at y = 16, rows 32 apart, captions at x = 8 and the
// values' right edge at x = 217. Larger fonts and scalings make the rows and columns grow.
constexpr int kMargin = 8;
constexpr int kRowPitch = 32;
constexpr int kValueRight = 217;
constexpr int kValueWidth = 90;
constexpr int kColumnGap = 8;
}  // namespace

TrealtimeDlg::TrealtimeDlg(const TECU* s, QWidget* parent) : QWidget(parent), session(s) {
    setObjectName("realtimeDlg");
    setWindowTitle("Engine Data");
    textPanel = new QWidget(this);
    textPanel->setObjectName("textPanel");

    QFont bold = font();
    bold.setBold(true);
    QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    fixed.setPointSize(font().pointSize() + 1);

    const std::vector<TSensorRow> rows = SensorRows(SensorRecord{});
    auto* grid = new QGridLayout(textPanel);
    grid->setContentsMargins(kMargin, kMargin, kMargin * 2, kMargin);
    grid->setVerticalSpacing(0);
    grid->setHorizontalSpacing(kColumnGap);
    grid->setColumnMinimumWidth(0, kValueRight - kMargin - kColumnGap - kValueWidth);
    grid->setColumnMinimumWidth(1, kValueWidth);
    grid->setColumnStretch(1, 1);
    int r = 0;
    for (const TSensorRow& row : rows) {
        auto* caption = new QLabel(QString::fromUtf8(row.caption));
        caption->setFont(bold);
        auto* value = new QLabel("0");
        value->setObjectName(row.label);
        value->setFont(fixed);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        grid->addWidget(caption, r, 0, Qt::AlignLeft | Qt::AlignVCenter);
        grid->addWidget(value, r, 1);
        grid->setRowMinimumHeight(r, kRowPitch);
        values.push_back(value);
        ++r;
    }
    staleLbl = new QLabel;
    staleLbl->setObjectName("staleLbl");
    staleLbl->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    grid->addWidget(staleLbl, r, 0, 1, 2);
    grid->setRowMinimumHeight(r, kRowPitch - 8);
    grid->setRowStretch(r + 1, 1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(textPanel);
    // Sized to its content, and free to grow.
    setMinimumSize(sizeHint());
    resize(sizeHint());

    refresh.setSingleShot(true);
    refresh.setInterval(kRefreshMs);
    connect(&refresh, &QTimer::timeout, this, [this] {
        UpdateDisplay();
        refresh.start();  // the next one 250 ms after this one ended
    });
    refresh.start();
}

QLabel* TrealtimeDlg::Value(const char* name) const {
    for (QLabel* label : values) {
        if (label->objectName() == QLatin1String(name)) {
            return label;
        }
    }
    return nullptr;
}

void TrealtimeDlg::UpdateDisplay() {
    if (!session) {
        return;
    }
    uint64_t updates = 0;
    const SensorRecord record = session->SensorsSnapshot(&updates);
    liveness.Seen(updates);
    ShowRecord(record);
    ShowLiveness();
}

void TrealtimeDlg::ShowRecord(const SensorRecord& record) {
    const std::vector<TSensorRow> rows = SensorRows(record);
    for (size_t i = 0; i < rows.size() && i < values.size(); ++i) {
        values[i]->setText(QString::fromStdString(rows[i].value));
    }
}

void TrealtimeDlg::SetConnected(bool connected) {
    if (!connected && session) {
        uint64_t updates = 0;
        session->SensorsSnapshot(&updates);
        liveness.Lost(updates);
    }
    ShowLiveness();
}

void TrealtimeDlg::ShowLiveness() {
    const bool stale = liveness.Stale();
    for (QLabel* value : values) {
        value->setEnabled(!stale);  // greyed: an old value must not pass for a live one
    }
    staleLbl->setText(stale ? liveness.StaleText() : QString());
}

void TrealtimeDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    emit closeRequested();
}
