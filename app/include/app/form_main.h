// TFormMain, the main window: an MDI frame with the "Utilities" menu from which the user
// opens a tool ("SMC manager", "Graphics tool") as a maximised child window. It remembers
// the tool it opened (CurrentTool), closes it before opening another and before closing
// itself, and owns the platform's small and large file-icon lists the manager shows.
//
// Tools are made by factories, so the tests can build a manager with a simulated machine
// and scripted dialogs, and the graphics tool can be plugged in by giving its factory.
#pragma once

#include <smcmanager_ui/sys_image_list.h>

#include <QMainWindow>
#include <QMdiSubWindow>
#include <QPointer>

#include <functional>
#include <memory>

class QAction;
class UsbHotplugWatcher;
class QMdiArea;
class TFormProg;

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

class TFormMain : public QMainWindow {
    Q_OBJECT
public:
    // Makes a tool's window for the main window.
    using ToolFactory = std::function<QWidget*(TFormMain&)>;

    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    // The shared progress window the SMC manager uses (created at start by main).
    void setProgressWindow(TFormProg* progress) { FormProg = progress; }
    TFormProg* progressWindow() const { return FormProg; }
    // Replaces the factory of the SMC manager.
    void setSmcFactory(ToolFactory factory) { smcFactory_ = std::move(factory); }
    // Replaces the factory of the graphics tool; an empty one disables its menu item.
    void setGraphicsFactory(ToolFactory factory);

    // The SMC manager of this main window with the real dialogs and the USB link.
    static QWidget* MakeSmcManager(TFormMain& main);
    // The graphics tool with the application's folder chooser and confirmation box.
    static QWidget* MakeGraphicsTool(TFormMain& main);

    // Watches for a machine being plugged in: each arrival is handed to this window's thread
    // and to the SMC manager open as the current tool, which may offer to open it. False
    // when plug events cannot be watched here (the watcher is then dropped).
    bool setHotplugWatcher(std::unique_ptr<UsbHotplugWatcher> watcher);
    // A machine was plugged in (on this window's thread).
    void machineArrived();

    void SMCmanager1Click();
    void Imagemanager1Click();
    // Closes the current tool and opens the one factory makes; returns its frame.
    ToolWindow* OpenTool(const ToolFactory& factory);

    QMdiArea* mdiArea() const { return mdi_; }

    QPointer<ToolWindow> CurrentTool;
    SysImageList SmallSysImages{16};
    SysImageList LargeSysImages{32};
    QAction* SMCmanager1;
    QAction* Imagemanager1;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QMdiArea* mdi_;
    TFormProg* FormProg = nullptr;
    ToolFactory smcFactory_;
    ToolFactory graphicsFactory_;
    std::unique_ptr<UsbHotplugWatcher> hotplug_;
};
