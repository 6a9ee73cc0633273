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

class TFormGraphics : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window; members of `choosers` left empty use the real dialogs.
    explicit TFormGraphics(QWidget* parent = nullptr,
                           GraphicsChoosers choosers = StandardGraphicsChoosers());
    ~TFormGraphics() override;

    // The image list's rows.
    ImageListModel* imageModel() const { return model_; }
    // The window's palette table.
    const PaletteTable& paletteTable() const { return PaletteTable_; }
    float zoomFactor() const { return ZoomFactor; }
    bool pickingTransparent() const { return PickingTransparent; }
    int transIndex() const { return TransIndex; }
    int acceptedTransIndex() const { return AcceptedTransIndex; }
    int selectedEntry() const { return SelectedEntry; }
    // The selected row, or -1.
    int selectedRow() const;
    // Selects a row of the list (as a click on it would).
    void selectRow(int row);

signals:
    // The window has closed; the main window forgets it.
    void formClosed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildControls();
    void buildMenus();

    // Menu actions.
    void Image1Click();
    void Palette1Click();
    void AsTextFiletxt1Click();
    void AsBinaryFilevxg1Click();
    void AsTextFile1Click();
    void Exit1Click();
    void Decimal1Click();
    void Convertto16bitformat1Click();
    void DevicePreview1Click();

    // List and names.
    void ListImgSelectItem();
    void ShowSelectedImage();
    void NameVarChange();
    void NameVXChange();
    void BitBtn3Click();
    void BitBtn4Click();
    void BitBtn1Click();
    void ClearImageList();
    void clearView();

    // Zoom and background.
    void ApplyZoom();
    float fitFactor() const;
    void BtnZoomInClick();
    void BtnZoomOutClick();
    void bFittedClick();
    void ScrollBoxResize();
    void BitBtn2Click();

    // Palette and numbers.
    void GridPalClick(int column, int row);
    void ShowPaletteControls(bool show);
    void RefreshValues();
    void updatePreview();

    // Transparency.
    void UseTransClick(bool checked);
    void BtnTransClick();
    void ImgSelMouseMove(QPoint position);
    void ImgSelMouseDown(Qt::MouseButton button, QPoint position);
    void BtnTransPalClick();
    void acceptTransIndex(int index);

    GraphicsChoosers choosers_;
    ImageListModel* model_;

    // Window state.
    PaletteTable PaletteTable_{};
    float ZoomFactor = 1.0f;
    bool PickingTransparent = false;
    int SelectedEntry = 0;
    PaletteEntry SelectedColour{};
    int TransIndex = 0;
    int AcceptedTransIndex = 0;
    Picture shown_; // the copy the view shows, for looking up pixels under the pointer
    bool hasShown_ = false;
    QString shownCaption_; // the caption bar's text for the shown picture

    // Palette area.
    QLabel* PalInfo = nullptr;
    QLabel* noPalette_ = nullptr;
    PaletteGrid* GridPal = nullptr;
    QWidget* PnlPal = nullptr;
    QLabel* IdxEnt = nullptr;
    QLabel* Red = nullptr;
    QLabel* Green = nullptr;
    QLabel* Blue = nullptr;
    QFrame* ColorSel = nullptr;
    QPushButton* BtnTransPal = nullptr;

    // View area.
    QLabel* ImgInfo = nullptr;
    ScrollBox* ScrollBox_ = nullptr;
    PictureView* ImgSel = nullptr;
    QCheckBox* bFitted = nullptr;
    QPushButton* BtnZoomOut = nullptr;
    QPushButton* BtnZoomIn = nullptr;
    QCheckBox* UseTrans = nullptr;
    QPushButton* BtnTrans = nullptr;
    QFrame* ColorTrans = nullptr;
    QLineEdit* Trans = nullptr;
    QPushButton* BitBtn2 = nullptr;
    QFrame* ColorBG = nullptr;

    // List area.
    QTreeView* ListImg = nullptr;
    QPushButton* BitBtn3 = nullptr;
    QPushButton* BitBtn4 = nullptr;
    QPushButton* BitBtn1 = nullptr;
    QLineEdit* NameVar = nullptr;
    QLineEdit* NameVX = nullptr;

    // Menu items.
    QAction* Decimal1 = nullptr;
    QAction* Hexadecimal1 = nullptr;
    QAction* DevicePreview1 = nullptr;
};
