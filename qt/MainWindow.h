#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QTabWidget>

#include <memory>

#include "core/Receiver.h"
#include "core/ReceiverView.h"
#include "qt/QtViews.h"

namespace korvan {

class SettingsPanel;
class UnitsPanel;

// What the window's own parts use, given by whoever builds it (the program's
// entry with the Qt ones, a test with fakes): the counters' timer and the
// units tab's clock and boxes; the sounds and the boxes are also what it
// attaches to the core. The given objects must outlive the window.
struct WindowServices {
    IClock& clock;
    ITimerFactory& timers;
    ISound& sound;
    IDialogs& dialogs;
};

// A counter field: decimal text followed by one blank, right-aligned, in a
// sunken frame of 109 x 17 pixels.
class CounterLabel : public QLabel {
    Q_OBJECT
public:
    explicit CounterLabel(QWidget* parent = nullptr);
    void SetValue(long long v) { setText(QString::number(v) + " "); }
};

// The main window "Korvan GPRS Module": top panel with the picture, the
// counters and the two LEDs, and the page control with the five tabs. It
// shows a receiver core built before it: its memos, LEDs and the window
// itself are attached to the core from construction to destruction.
class MainWindow : public QMainWindow, public IReceiverView {
    Q_OBJECT
public:
    // The counters are shown anew at most this often.
    static constexpr int kCountersMs = 250;

    MainWindow(Receiver& core, const WindowServices& services, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs the core's start-up sequence and then fills the Settings and Test
    // Time Monitor tabs; false when start-up failed (the tabs stay empty).
    bool Create();

    Receiver& Core() { return core_; }
    QTabWidget* PageControl() { return pageControl_; }
    QtMemo* MemoAll() { return memoAll_; }
    QtMemo* MemoImp() { return memoImp_; }
    QtMemo* MemoErr() { return memoErr_; }
    QtLed* LedImp() { return ledImp_; }
    QtLed* LedErr() { return ledErr_; }
    QWidget* SettingsPage() { return settingsPage_; }
    QWidget* UnitsPage() { return unitsPage_; }
    // The contents of the two tabs; null until Create succeeded.
    SettingsPanel* Settings() { return settingsPanel_; }
    UnitsPanel* Units() { return unitsPanel_; }
    // Shows the counters and the output in use as the core has them now.
    void ShowCounters();

    // IReceiverView
    void SetAppStartedText(const std::string& text) override;
    void ShowPage(int index) override;
    void RepaintUnitsGrid() override;
    void Terminate() override;

    // Called whenever the units grid needs a repaint (set by the grid).
    std::function<void()> onRepaintUnitsGrid;

protected:
    void closeEvent(QCloseEvent* e) override;

private:
    QWidget* BuildTopPanel();
    void BuildTabContents();
    void TabChanged(int index);

    Receiver& core_;
    WindowServices services_;

    QTabWidget* pageControl_ = nullptr;
    QtMemo* memoAll_ = nullptr;
    QtMemo* memoImp_ = nullptr;
    QtMemo* memoErr_ = nullptr;
    QtLed* ledImp_ = nullptr;
    QtLed* ledErr_ = nullptr;
    QLabel* appStarted_ = nullptr;
    CounterLabel* packsRec_ = nullptr;
    CounterLabel* elemRec_ = nullptr;
    CounterLabel* recMsg_ = nullptr;
    CounterLabel* sendMsg_ = nullptr;
    CounterLabel* sendBuffer_ = nullptr;
    QLabel* output_ = nullptr;
    // What the labels show now; they are written only when it changes.
    ReceiverCounters shown_;
    std::unique_ptr<ITimer> countersTimer_;
    QWidget* settingsPage_ = nullptr;
    QWidget* unitsPage_ = nullptr;
    SettingsPanel* settingsPanel_ = nullptr;
    UnitsPanel* unitsPanel_ = nullptr;
};

}  // namespace korvan
