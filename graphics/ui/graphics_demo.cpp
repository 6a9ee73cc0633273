// SPDX-License-Identifier: MIT
// Shows the graphics window with pictures loaded, as a user would see it after choosing
// them in the open dialog. Options: --palette FILE (import an ACT palette afterwards),
// --entry N (click palette entry N), --hex, --fitted, --pick X,Y (turn transparency on and
// pick the colour of picture pixel X,Y with the pointer), --background COLOUR, --preview
// (device preview), --size WxH, --screenshot FILE (save the window as a picture and quit
// instead of running).
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>

#include "graphics_ui/graphics_window.h"
#include "graphics_ui/palette_grid.h"
#include "graphics_ui/picture_view.h"

static void mouseAt(QWidget* widget, QEvent::Type type, QPoint at) {
    const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent event(type, QPointF(at), widget->mapToGlobal(QPointF(at)), button, button,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

static void clickAt(QWidget* widget, QPoint at) {
    mouseAt(widget, QEvent::MouseButtonPress, at);
}

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QStringList pictures;
    QString palette, screenshot;
    int entry = -1;
    QPoint pick(-1, -1);
    QColor background;
    bool hex = false, fitted = false, preview = false;
    QSize size(1000, 640);
    const QStringList args = app.arguments();
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--palette") && hasValue)
            palette = args[++i];
        else if (a == QLatin1String("--entry") && hasValue)
            entry = args[++i].toInt();
        else if (a == QLatin1String("--pick") && hasValue) {
            const QStringList xy = args[++i].split(QLatin1Char(','));
            pick = QPoint(xy.value(0).toInt(), xy.value(1).toInt());
        } else if (a == QLatin1String("--background") && hasValue)
            background = QColor(args[++i]);
        else if (a == QLatin1String("--screenshot") && hasValue)
            screenshot = args[++i];
        else if (a == QLatin1String("--size") && hasValue) {
            const QStringList wh = args[++i].split(QLatin1Char('x'));
            size = QSize(wh.value(0).toInt(), wh.value(1).toInt());
        } else if (a == QLatin1String("--hex"))
            hex = true;
        else if (a == QLatin1String("--fitted"))
            fitted = true;
        else if (a == QLatin1String("--preview"))
            preview = true;
        else
            pictures << a;
    }

    QString nextOpen;
    GraphicsChoosers choosers;
    choosers.openFiles = [&](QWidget*, const QString&, bool multiple) {
        return multiple ? pictures : QStringList{nextOpen};
    };
    choosers.chooseColor = [&](QWidget*, const QColor&) { return background; };
    GraphicsWindow window(nullptr, choosers);
    window.resize(size);
    window.show();
    window.findChild<QAction*>(QStringLiteral("openImagesAction"))->trigger();
    if (!palette.isEmpty()) {
        nextOpen = palette;
        window.findChild<QAction*>(QStringLiteral("openPaletteAction"))->trigger();
    }
    if (hex) window.findChild<QAction*>(QStringLiteral("hexadecimalAction"))->trigger();
    if (fitted) window.findChild<QCheckBox*>(QStringLiteral("fittedCheck"))->setChecked(true);
    if (entry >= 0) {
        auto* grid = window.findChild<PaletteGrid*>(QStringLiteral("paletteGrid"));
        clickAt(grid, PaletteGrid::cellOrigin(entry % 16, entry / 16) + QPoint(7, 7));
    }
    if (background.isValid())
        window.findChild<QPushButton*>(QStringLiteral("backgroundButton"))->click();
    if (pick.x() >= 0) {
        window.findChild<QCheckBox*>(QStringLiteral("useTransparentCheck"))->setChecked(true);
        window.findChild<QPushButton*>(QStringLiteral("pickTransparentButton"))->click();
        auto* view = window.findChild<PictureView*>(QStringLiteral("pictureView"));
        const QPoint at(static_cast<int>(pick.x() * window.zoomFactor()),
                        static_cast<int>(pick.y() * window.zoomFactor()));
        mouseAt(view, QEvent::MouseMove, at);
        mouseAt(view, QEvent::MouseButtonPress, at);
    }
    if (preview) window.findChild<QAction*>(QStringLiteral("devicePreviewAction"))->trigger();
    if (screenshot.isEmpty()) return app.exec();
    QTimer::singleShot(300, [&] {
        window.grab().save(screenshot);
        app.quit();
    });
    return app.exec();
}
