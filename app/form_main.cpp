// The main window: MDI frame, "Utilities" menu and the tool lifecycle.
#include "app/form_main.h"
#include "app/global.h"

#include <devicelink/device_link.h>
#include <devicelink/transport.h>
#include <devicelink/usb_hotplug.h>
#include <graphics_ui/graphics_window.h>
#include <graphics_ui/graphics_choosers.h>
#include <smcmanager_ui/form_prog.h>
#include <smcmanager_ui/form_smc.h>

#include <QCloseEvent>
#include <QMdiArea>
#include <QMenuBar>

void ToolWindow::closeEvent(QCloseEvent* event) {
    // The frame closes its tool first, whose close handler may keep both open.
    QMdiSubWindow::closeEvent(event);
    if (event->isAccepted()) emit closed();
}

TFormMain::TFormMain(QWidget* parent)
    : QMainWindow(parent), mdi_(new QMdiArea), smcFactory_(&TFormMain::MakeSmcManager),
      graphicsFactory_(&TFormMain::MakeGraphicsTool) {
    setObjectName("FormMain");
    setWindowTitle("Vela Developer Tool");
    setGeometry(229, 171, 870, 640);
    setCentralWidget(mdi_);
    QMenu* utilities = menuBar()->addMenu("Utilities");
    SMCmanager1 = utilities->addAction("SMC manager");
    Imagemanager1 = utilities->addAction("Graphics tool");
    Imagemanager1->setEnabled(bool(graphicsFactory_));
    connect(SMCmanager1, &QAction::triggered, this, &TFormMain::SMCmanager1Click);
    connect(Imagemanager1, &QAction::triggered, this, &TFormMain::Imagemanager1Click);
}

TFormMain::~TFormMain() {
    // No arrival may be handed to a window that is going away.
    if (hotplug_) hotplug_->stop();
}

bool TFormMain::setHotplugWatcher(std::unique_ptr<UsbHotplugWatcher> watcher) {
    if (hotplug_) hotplug_->stop();
    hotplug_ = std::move(watcher);
    const bool started = hotplug_ && hotplug_->start([this](HotplugEvent event) {
        if (event != HotplugEvent::Arrived) return;
        QMetaObject::invokeMethod(this, &TFormMain::MachineArrived, Qt::QueuedConnection);
    });
    if (!started) hotplug_.reset();
    return started;
}

void TFormMain::MachineArrived() {
    auto* manager = CurrentTool ? qobject_cast<TFormSMC*>(CurrentTool->widget()) : nullptr;
    if (manager) manager->manager().MachineArrived();
}

void TFormMain::setGraphicsFactory(ToolFactory factory) {
    graphicsFactory_ = std::move(factory);
    Imagemanager1->setEnabled(bool(graphicsFactory_));
}

QWidget* TFormMain::MakeSmcManager(TFormMain& main) {
    UsbOptions usb;
    usb.verbose = true; // the discovery lines go to standard output
    return new TFormSMC(*main.progressWindow(), main.SmallSysImages, main.LargeSysImages,
                        std::make_unique<DeviceLink>(makeUsbTransport(usb)));
}

QWidget* TFormMain::MakeGraphicsTool(TFormMain&) {
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

void TFormMain::SMCmanager1Click() {
    OpenTool(smcFactory_);
}

void TFormMain::Imagemanager1Click() {
    if (graphicsFactory_) OpenTool(graphicsFactory_);
}

ToolWindow* TFormMain::OpenTool(const ToolFactory& factory) {
    if (CurrentTool) CurrentTool->close();
    QWidget* tool = factory(*this);
    auto* frame = new ToolWindow;
    frame->setWidget(tool);
    frame->setAttribute(Qt::WA_DeleteOnClose);
    frame->setWindowTitle(tool->windowTitle());
    mdi_->addSubWindow(frame);
    connect(frame, &ToolWindow::closed, this, [this, frame] {
        if (CurrentTool == frame) CurrentTool = nullptr;
    });
    CurrentTool = frame;
    frame->showMaximized();
    return frame;
}

void TFormMain::closeEvent(QCloseEvent* event) {
    if (CurrentTool && !CurrentTool->close()) {
        event->ignore();
        return;
    }
    event->accept();
}
