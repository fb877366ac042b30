#include "forms/realtime.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QVBoxLayout>

#include "ecu/ecu.h"
#include "ecu/sensorrecord.h"

namespace {
constexpr int kFirstRowY = 16;
constexpr int kRowPitch = 32;
constexpr int kCaptionX = 8;
constexpr int kValueRight = 217;
constexpr int kValueWidth = 90;
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
    int y = kFirstRowY;
    for (const TSensorRow& row : rows) {
        auto* caption = new QLabel(QString::fromUtf8(row.caption), textPanel);
        caption->setFont(bold);
        caption->move(kCaptionX, y);
        caption->adjustSize();
        auto* value = new QLabel("0", textPanel);
        value->setObjectName(row.label);
        value->setFont(fixed);
        value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        value->setGeometry(kValueRight - kValueWidth, y - 2, kValueWidth,
                           caption->sizeHint().height() + 4);
        values.push_back(value);
        y += kRowPitch;
    }
    staleLbl = new QLabel(textPanel);
    staleLbl->setObjectName("staleLbl");
    staleLbl->setGeometry(kCaptionX, y - 8, kValueRight - kCaptionX, kRowPitch - 8);
    staleLbl->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    textPanel->setFixedSize(kValueRight + 16, y + kRowPitch - 16);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(textPanel);
    setFixedSize(textPanel->size());

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
