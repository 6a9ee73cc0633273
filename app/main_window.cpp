// SPDX-License-Identifier: MIT
// The main window: MDI frame, "Utilities" menu and the tool lifecycle.
#include "app/main_window.h"
#include "app/global.h"

#include <devicelink/device_link.h>
#include <devicelink/sim_machine.h>
#include <devicelink/transport.h>
#include <devicelink/usb_hotplug.h>
#include <graphics_ui/graphics_choosers.h>
#include <graphics_ui/graphics_window.h>
#include <smcmanager/machine_names.h>
#include <smcmanager/smc_manager.h>
#include <smcmanager_ui/smc_manager_window.h>

#include <QCloseEvent>
#include <QMdiArea>
#include <QMenuBar>
#include <filesystem>

namespace {

SmcManagerWindow* managerOf(ToolWindow* frame) {
    return frame ? qobject_cast<SmcManagerWindow*>(frame->widget()) : nullptr;
}

} // namespace

void ToolWindow::closeEvent(QCloseEvent* event) {
    // The frame closes its tool first, whose close handler may keep both open.
    QMdiSubWindow::closeEvent(event);
    if (event->isAccepted()) emit closed();
}

MainWindow::MainWindow(QWidget* parent)
    : QMainWindow(parent), mdi_(new QMdiArea), smcFactory_(&MainWindow::MakeSmcManager),
      graphicsFactory_(&MainWindow::MakeGraphicsTool) {
    setObjectName("mainWindow");
    setWindowTitle("Vela Developer Tool");
    setGeometry(229, 171, 870, 640);
    setCentralWidget(mdi_);
    QMenu* utilities = menuBar()->addMenu("Utilities");
    smcManagerAction = utilities->addAction("SMC manager");
    graphicsToolAction = utilities->addAction("Graphics tool");
    graphicsToolAction->setEnabled(bool(graphicsFactory_));
    connect(smcManagerAction, &QAction::triggered, this, &MainWindow::openSmcManager);
    connect(graphicsToolAction, &QAction::triggered, this, &MainWindow::openGraphicsTool);
}

MainWindow::~MainWindow() {
    // No arrival may be handed to a window that is going away.
    if (hotplug_) hotplug_->stop();
    // The tools go before the simulated machines their links talk to.
    delete takeCentralWidget();
}

bool MainWindow::setHotplugWatcher(std::unique_ptr<UsbHotplugWatcher> watcher) {
    if (hotplug_) hotplug_->stop();
    hotplug_ = std::move(watcher);
    const bool started = hotplug_ && hotplug_->start([this](HotplugEvent event) {
        if (event != HotplugEvent::Arrived) return;
        QMetaObject::invokeMethod(this, &MainWindow::machineArrived, Qt::QueuedConnection);
    });
    if (!started) hotplug_.reset();
    return started;
}

void MainWindow::machineArrived() {
    if (SmcManagerWindow* manager = managerOf(currentTool)) manager->machineArrived();
}

void MainWindow::setGraphicsFactory(ToolFactory factory) {
    graphicsFactory_ = std::move(factory);
    graphicsToolAction->setEnabled(bool(graphicsFactory_));
}

bool MainWindow::setMachine(const std::string& name, std::string& failure) {
    MachineConnection trial;
    if (!linkForMachine(name, trial, failure)) return false;
    machine_ = name;
    return true;
}

QWidget* MainWindow::MakeSmcManager(MainWindow& main) {
    std::unique_ptr<DeviceLink> link;
    MachineConnection connection;
    std::string failure;
    std::filesystem::path servedFolder; // a simulated machine's card, so no copy loops into it
    if (main.machine_.empty()) {
        UsbOptions usb;
        usb.verbose = true; // the discovery lines go to standard output
        link = std::make_unique<DeviceLink>(makeUsbTransport(usb));
    } else if (linkForMachine(main.machine_, connection, failure)) {
        link = std::move(connection.link);
        if (connection.simulated) {
            servedFolder = connection.simulated->cardFolder();
            main.simulated_.push_back(std::move(connection.simulated));
        }
    }
    auto* window = new SmcManagerWindow(main.icons(), std::move(link));
    if (!servedFolder.empty())
        window->post([servedFolder](SmcManager& core) { core.setMachineFolder(servedFolder); });
    return window;
}

QWidget* MainWindow::MakeGraphicsTool(MainWindow&) {
    // The application's own folder chooser and confirmation box; the rest are the standard
    // dialogs the graphics window fills in itself.
    GraphicsChoosers choosers;
    choosers.browseForFolder = [](QWidget* owner, const QString& title, const QString& initial) {
        QString folder;
        return BrowseForFolder(owner, title, initial, folder) ? folder : QString();
    };
    choosers.confirm = [](QWidget* owner, const QString& text) { return ConfirmBox(text, owner); };
    return new GraphicsWindow(nullptr, std::move(choosers));
}

void MainWindow::openSmcManager() {
    openTool(smcFactory_);
}

void MainWindow::openGraphicsTool() {
    if (graphicsFactory_) openTool(graphicsFactory_);
}

ToolWindow* MainWindow::openTool(const ToolFactory& factory) {
    if (currentTool && !currentTool->close()) return nullptr;
    QWidget* tool = factory(*this);
    auto* frame = new ToolWindow;
    frame->setWidget(tool);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->setWindowTitle(tool->windowTitle());
    mdi_->addSubWindow(frame);
    connect(frame, &ToolWindow::closed, this, [this, frame] {
        if (currentTool != frame) return;
        currentTool = nullptr;
        // A close that waited for the tool's operation goes on now.
        if (closeAfterTool_) QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    });
    currentTool = frame;
    frame->showMaximized();
    return frame;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (currentTool && !currentTool->close()) {
        // A busy manager closes when its operation has ended (if the user chose to cancel).
        const SmcManagerWindow* manager = managerOf(currentTool);
        closeAfterTool_ = manager && manager->closePending();
        event->ignore();
        return;
    }
    event->accept();
}
