// The chart: chosen engine values over time, every record the session accepted (not only
// the Engine Data window's samples), live over the last 10 s to 10 min, or a whole
// recording played back. An MDI child of the main window.
//
// Each value has its own colour; values of one kind (the mixtures, the temperatures...)
// share an axis, other kinds get axes of their own. Records more than a second apart are not
// joined, so a pulled cable shows as a gap. Live, the plot is redrawn at most 30 times a
// second and no more often than the newest record moves it by a pixel. Dragging or turning
// the wheel over the plot pauses it to look back; "Live" follows the records again. The
// cursor (the mouse over the plot, or a click) reads out every ticked value at its time.
#pragma once

#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimeZone>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QWidget>
#include <array>
#include <chrono>
#include <optional>
#include <vector>

#include "ecu/ecu.h"
#include "ecu/sensorrecord.h"
#include "record/recordformat.h"

class QCustomPlot;
class QCPAxis;
class QCPGraph;
class QCPItemStraightLine;
struct TRecording;

class TChartDlg : public QWidget {
    Q_OBJECT
public:
    // Records further apart than this are not joined.
    static constexpr std::chrono::milliseconds kGap{1000};
    static constexpr int kMaxWindowSeconds = 600;
    static constexpr int kMinRedrawMs = 33;

    // A live chart; its records come through Append. `clock` ties their steady times to the
    // wall clock shown on the time axis.
    explicit TChartDlg(const TRecordClock& clock, QWidget* parent = nullptr);
    // A recording played back, paused, all of it in view.
    TChartDlg(const TRecording& recording, const QString& name, QWidget* parent = nullptr);

    // Adds records (times on the session's clock, ms) to a live chart.
    void Append(const std::vector<TECU::TTimedRecord>& records);

    void SetShown(int row, bool shown);
    bool Shown(int row) const;
    // The time span in view: 10, 30, 60, 120, 300 or 600 s.
    void SetWindowSeconds(int seconds);
    void SetPaused(bool paused);
    bool Paused() const { return paused; }
    // Puts the cursor at a time (seconds since 1970) and reads the values there out.
    void SetCursorAt(double seconds);
    // The ticked values at the cursor, as the list shows them ("-" where none).
    QString CursorValue(int row) const;
    // The time span in view, seconds since 1970.
    double ViewLower() const;
    double ViewUpper() const;
    int Redraws() const { return redraws; }
    QSize sizeHint() const override { return {820, 440}; }

    QCustomPlot* plot;
    QTreeWidget* valuesList;  // the thirteen values: tick to show, colour, value at the cursor
    QComboBox* windowCbx;
    QToolButton* pauseBtn;
    QLabel* cursorLbl;

private:
    TChartDlg(bool live, QWidget* parent);
    void Arrange();  // axes for the ticked values
    void Follow();   // the newest records in view
    void Redraw();
    void RescaleValues();
    void ShowCursor();
    // The times are shown at this UTC offset (the recording's, or the local one now).
    void SetZone(int offsetMinutes);

    bool live;
    bool paused = false;
    bool dirty = false;
    int redraws = 0;
    TRecordClock clock;
    std::array<QCPGraph*, kSensorRows> graphs{};
    std::vector<QCPAxis*> axes;  // one per kind of value
    QCPItemStraightLine* cursorLine;
    std::optional<double> cursorAt;
    double newest = 0;                  // the time of the newest record, seconds since 1970
    std::chrono::microseconds last{0};  // the newest record's time
    bool any = false;
    int windowSeconds = 60;
    QTimer redraw;
    QElapsedTimer sinceRedraw;
    QTimeZone zone;
};
