// SPDX-License-Identifier: MIT
// MainWindow, the main window: an MDI frame with the "Utilities" menu from which the user
// opens a tool ("SMC manager", "Graphics tool") as a maximised child window. It remembers
// the tool it opened (currentTool), closes it before opening another and before closing
// itself, and holds the platform's file icons the manager shows. A manager busy with an
// operation asks before it closes and closes once the operation has ended; the main
// window then closes too.
//
// Tools are made by factories, so the tests can build a manager with a simulated machine
// and scripted dialogs, and the graphics tool can be plugged in by giving its factory.
#pragma once

#include <smcmanager_ui/platform_icons.h>

#include <QMainWindow>
#include <QMdiSubWindow>
#include <QPointer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class DeviceLink;
class SimMachine;
class QAction;
class QMdiArea;
class UsbHotplugWatcher;

// The frame of a tool inside the main window; says when it has closed.
class ToolWindow : public QMdiSubWindow {
    Q_OBJECT
public:
    using QMdiSubWindow::QMdiSubWindow;

signals:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Makes a tool's window for the main window.
    using ToolFactory = std::function<QWidget*(MainWindow&)>;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // Replaces the factory of the SMC manager.
    void setSmcFactory(ToolFactory factory) { smcFactory_ = std::move(factory); }
    // Replaces the factory of the graphics tool; an empty one disables its menu item.
    void setGraphicsFactory(ToolFactory factory);
    // Has the managers made from now on reach the machine that name names ("usb",
    // "usb:VVVV:PPPP", "sim:FOLDER", "unix:PATH") instead of the USB cable; false, with the
    // reason in failure, when name names no machine.
    bool setMachine(const std::string& name, std::string& failure);

    // The SMC manager of this main window with the real dialogs and its link.
    static QWidget* MakeSmcManager(MainWindow& main);
    // The graphics tool with the application's folder chooser and confirmation box.
    static QWidget* MakeGraphicsTool(MainWindow& main);

    // Watches for a machine being plugged in: each arrival is handed to this window's thread
    // and to the SMC manager open as the current tool, which may offer to open it. False
    // when plug events cannot be watched here (the watcher is then dropped).
    bool setHotplugWatcher(std::unique_ptr<UsbHotplugWatcher> watcher);
    // A machine was plugged in (on this window's thread).
    void machineArrived();

    void openSmcManager();
    void openGraphicsTool();
    // Closes the current tool and opens the one factory makes; returns its frame (nullptr
    // when the current tool would not close).
    ToolWindow* openTool(const ToolFactory& factory);

    QMdiArea* mdiArea() const { return mdi_; }
    const PlatformIcons& icons() const { return icons_; }

    QPointer<ToolWindow> currentTool;
    QAction* smcManagerAction;
    QAction* graphicsToolAction;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QMdiArea* mdi_;
    PlatformIcons icons_;
    ToolFactory smcFactory_;
    ToolFactory graphicsFactory_;
    std::string machine_; // empty: the USB cable
    // The simulated machines the managers' links talk to; they outlive the managers.
    std::vector<std::unique_ptr<SimMachine>> simulated_;
    std::unique_ptr<UsbHotplugWatcher> hotplug_;
    bool closeAfterTool_ = false;
};
