#pragma once

#include <QLabel>
#include <QMainWindow>
#include <QTabWidget>

#include <memory>

#include "core/Receiver.h"
#include "core/ReceiverView.h"
#include "qt/QtViews.h"

namespace korvan {

class QtTimerFactory;
class QtUdpFactory;
class QtSerialDevice;
class QtTcpFactory;

class SystemClock;
class SettingsPanel;
class UnitsPanel;

// Services the window can be given instead of its own Qt ones. Every one left
// null is the real thing; tests hand in fakes (a settable clock with manual
// timers, a recording UDP endpoint, answered dialogs). The given objects must
// outlive the window.
struct WindowServices {
    IClock* clock = nullptr;
    ITimerFactory* timers = nullptr;
    IUdpFactory* udp = nullptr;
    ISerialDevice* serial = nullptr;
    ISound* sound = nullptr;
    IDialogs* dialogs = nullptr;
    ITcpFactory* tcp = nullptr;
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
// owns the platform objects and the window logic (Receiver).
class MainWindow : public QMainWindow, public IReceiverView {
    Q_OBJECT
public:
    // The counters are shown anew at most this often.
    static constexpr int kCountersMs = 250;

    explicit MainWindow(const std::string& exeDir, QWidget* parent = nullptr);
    MainWindow(const std::string& exeDir, const WindowServices& services,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // Runs the start-up sequence and then fills the Settings and Test Time
    // Monitor tabs; false when start-up failed (the tabs stay empty).
    bool Create();

    Receiver& Core() { return *receiver_; }
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
    IDialogs& Dialogs() { return *dialogsInUse_; }
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

    // The window's own Qt services, created for those not given.
    std::unique_ptr<SystemClock> clock_;
    std::unique_ptr<QtTimerFactory> timers_;
    std::unique_ptr<QtUdpFactory> udp_;
    std::unique_ptr<QtSerialDevice> serial_;
    std::unique_ptr<QtTcpFactory> tcp_;
    std::unique_ptr<QtSound> sound_;
    std::unique_ptr<QtDialogs> dialogs_;
    // The services in use: given or own.
    IClock* clockInUse_ = nullptr;
    ITimerFactory* timersInUse_ = nullptr;
    IDialogs* dialogsInUse_ = nullptr;

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

    std::unique_ptr<Receiver> receiver_;
};

}  // namespace korvan
