// SPDX-License-Identifier: MIT
// What the graphics window tests share: dialogs answered from scripts (and every question
// and message recorded), bitmap files written into a temporary folder, a shown window, and
// mouse events sent to a widget.
#pragma once

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <QTest>
#include <deque>
#include <memory>

#include "graphics/bmp_builder.h"
#include "graphics_ui/graphics_window.h"
#include "graphics_ui/image_list_model.h"

// Dialog answers in order; an empty queue answers "cancel".
struct ScriptedDialogs {
    std::deque<QStringList> openAnswers;
    std::deque<QString> saveAnswers;
    std::deque<QString> folderAnswers;
    std::deque<bool> confirmAnswers;
    std::deque<QColor> colourAnswers;
    QStringList filters; // every open or save dialog's filter
    QStringList folderTitles;
    QStringList folderStarts;
    QStringList questions;
    QStringList messages;

    GraphicsChoosers choosers() {
        GraphicsChoosers c;
        c.openFiles = [this](QWidget*, const QString& filter, bool) {
            filters << filter;
            return take(openAnswers, QStringList{});
        };
        c.saveFile = [this](QWidget*, const QString& filter, const QString&) {
            filters << filter;
            return take(saveAnswers, QString{});
        };
        c.browseForFolder = [this](QWidget*, const QString& title, const QString& start) {
            folderTitles << title;
            folderStarts << start;
            return take(folderAnswers, QString{});
        };
        c.confirm = [this](QWidget*, const QString& text) {
            questions << text;
            return take(confirmAnswers, false);
        };
        c.message = [this](QWidget*, const QString& text) { messages << text; };
        c.chooseColor = [this](QWidget*, const QColor&) { return take(colourAnswers, QColor{}); };
        c.now = [] { return LocalTime{2026, 3, 4, 5, 6}; };
        return c;
    }

    template <typename T> static T take(std::deque<T>& queue, T cancelled) {
        if (queue.empty()) return cancelled;
        T answer = queue.front();
        queue.pop_front();
        return answer;
    }
};

inline bool WriteBytes(const QString& path, const std::vector<std::uint8_t>& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    return file.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<qint64>(bytes.size())) == static_cast<qint64>(bytes.size());
}

// An 8-bit bitmap whose pixel (x, y) has palette index index(x, y), with `palette`.
inline bool WriteBmp8(const QString& path, int width, int height, std::vector<Rgb> palette,
                      const std::function<std::uint32_t(int, int)>& index) {
    const auto used = static_cast<std::uint32_t>(palette.size());
    return WriteBytes(path, BuildBmp({.width = width,
                                      .height = height,
                                      .palette = std::move(palette),
                                      .clrUsed = used,
                                      .pixels = PackRows(width, height, 8, false, index)}));
}

// A 24-bit bitmap of one colour.
inline bool WriteBmp24(const QString& path, int width, int height, Rgb colour) {
    const std::uint32_t sample = std::uint32_t{colour.blue} | std::uint32_t{colour.green} << 8 |
                                 std::uint32_t{colour.red} << 16;
    return WriteBytes(path, BuildBmp({.width = width,
                                      .height = height,
                                      .bitCount = 24,
                                      .pixels = PackRows(width, height, 24, false,
                                                         [=](int, int) { return sample; })}));
}

inline void SendMouse(QWidget* widget, QEvent::Type type, QPoint at,
                      Qt::MouseButton button = Qt::NoButton) {
    QMouseEvent event(type, QPointF(at), widget->mapToGlobal(QPointF(at)), button,
                      type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButtons(button),
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

// A window with scripted dialogs, shown at a fixed size.
struct WindowFixture {
    ScriptedDialogs dialogs;
    std::unique_ptr<GraphicsWindow> window;
    QTemporaryDir dir;
    bool exposed = false;

    WindowFixture() {
        window = std::make_unique<GraphicsWindow>(nullptr, dialogs.choosers());
        window->resize(1000, 700);
        window->show();
        exposed = QTest::qWaitForWindowExposed(window.get());
    }
    QString path(const QString& name) const { return dir.filePath(name); }
    template <typename T> T* child(const char* name) const {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    void trigger(const char* action) { child<QAction>(action)->trigger(); }
    // Loads `paths` through File > Open > Image(s).
    void load(const QStringList& paths) {
        dialogs.openAnswers.push_back(paths);
        trigger("openImagesAction");
    }
    QString text(int row, ImageColumn column) const {
        return QString::fromStdString(window->imageModel()->item(row).text[column]);
    }
};
