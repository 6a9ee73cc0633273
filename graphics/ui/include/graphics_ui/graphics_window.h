// SPDX-License-Identifier: MIT
// The graphics tool window "Graphics manager". Left, the palette area (the window's one
// palette table in a 16 × 16 grid with the selected entry's values) above the picture view
// with its zoom, background and transparency controls; right, the image list with its check
// boxes and the name boxes of the selected row. The menus load pictures and palettes and
// save the images (binary or source text) and the palette. The window shows and forwards:
// decoding, the rows' texts, the file formats and the view arithmetic are the graphics
// core's. Every dialog goes through the injected GraphicsChoosers.
#pragma once

#include <QMainWindow>

#include "graphics/palette.h"
#include "graphics/picture.h"
#include "graphics/text_export.h"
#include "graphics_ui/graphics_choosers.h"

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;
class ImageListModel;
class PaletteGrid;
class PictureView;
class ScrollBox;

class GraphicsWindow : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window; members of `choosers` left empty use the real dialogs.
    explicit GraphicsWindow(QWidget* parent = nullptr,
                            GraphicsChoosers choosers = StandardGraphicsChoosers());
    ~GraphicsWindow() override;

    // The image list's rows.
    ImageListModel* imageModel() const { return model_; }
    // The window's palette table.
    const PaletteTable& paletteTable() const { return paletteTable_; }
    float zoomFactor() const { return zoomFactor_; }
    bool pickingTransparent() const { return pickingTransparent_; }
    int transIndex() const { return transIndex_; }
    int acceptedTransIndex() const { return acceptedTransIndex_; }
    int selectedEntry() const { return selectedEntry_; }
    // The selected row, or -1.
    int selectedRow() const;
    // Selects a row of the list (as a click on it would).
    void selectRow(int row);

signals:
    // The window has closed; the main window forgets it.
    void windowClosed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void buildMenus();

    // Menu actions.
    void loadImages();
    void importPalette();
    void saveImagesAsText();
    void saveImagesAsVxg();
    void savePaletteText();
    // Tells the user which checked rows the save would write under one file name; returns,
    // per row, whether it is one of them (and must not be written).
    std::vector<bool> refuseClashes(SaveKind kind);
    void closeWindow();
    void numberBaseChanged();
    void reduceToDevicePalette();
    void devicePreviewToggled();

    // List and names.
    void selectionChanged();
    void showSelectedImage();
    void varNameEdited();
    void varNameFinished();
    void vxNameEdited();
    void selectAll();
    void deleteSelectedRow();
    void resetList();
    void clearImageList();
    void clearView();

    // Zoom and background.
    void applyZoom();
    float fitFactor() const;
    void zoomIn();
    void zoomOut();
    void fittedToggled();
    void scrollBoxResized();
    void chooseBackground();

    // Palette and numbers.
    void paletteCellClicked(int column, int row);
    void showPaletteControls(bool show);
    void refreshValues();
    void updatePreview();

    // Transparency.
    void useTransparentToggled(bool checked);
    void startPickingTransparent();
    void pictureMouseMoved(QPoint position);
    void pictureMousePressed(Qt::MouseButton button, QPoint position);
    void takeSelectedEntryAsTransparent();
    void acceptTransIndex(int index);

    GraphicsChoosers choosers_;
    ImageListModel* model_;

    // Window state.
    PaletteTable paletteTable_{};
    float zoomFactor_ = 1.0f;
    bool pickingTransparent_ = false;
    int selectedEntry_ = 0;
    PaletteEntry selectedColour_{};
    int transIndex_ = 0;
    int acceptedTransIndex_ = 0;
    Picture shown_; // the copy the view shows, for looking up pixels under the pointer
    bool hasShown_ = false;
    QString shownCaption_; // the caption bar's text for the shown picture

    // Palette area.
    QLabel* paletteCaption_ = nullptr;
    QLabel* noPaletteLabel_ = nullptr;
    PaletteGrid* paletteGrid_ = nullptr;
    QWidget* paletteValues_ = nullptr;
    QLabel* entryIndexLabel_ = nullptr;
    QLabel* redLabel_ = nullptr;
    QLabel* greenLabel_ = nullptr;
    QLabel* blueLabel_ = nullptr;
    QFrame* selectedSwatch_ = nullptr;
    QPushButton* transFromPaletteButton_ = nullptr;

    // View area.
    QLabel* pictureCaption_ = nullptr;
    ScrollBox* scrollBox_ = nullptr;
    PictureView* pictureView_ = nullptr;
    QCheckBox* fittedCheck_ = nullptr;
    QPushButton* zoomOutButton_ = nullptr;
    QPushButton* zoomInButton_ = nullptr;
    QCheckBox* useTransparentCheck_ = nullptr;
    QPushButton* pickTransparentButton_ = nullptr;
    QFrame* transparentSwatch_ = nullptr;
    QLineEdit* transIndexEdit_ = nullptr;
    QPushButton* backgroundButton_ = nullptr;
    QFrame* backgroundSwatch_ = nullptr;

    // List area.
    QTreeView* imageList_ = nullptr;
    QPushButton* selectAllButton_ = nullptr;
    QPushButton* deleteButton_ = nullptr;
    QPushButton* resetButton_ = nullptr;
    QLineEdit* varNameEdit_ = nullptr;
    QLineEdit* vxNameEdit_ = nullptr;

    // Menu items.
    QAction* decimalAction_ = nullptr;
    QAction* hexadecimalAction_ = nullptr;
    QAction* devicePreviewAction_ = nullptr;
};
