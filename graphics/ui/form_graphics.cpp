// The graphics tool window: building its controls and menus, and the handlers that forward
// the user's actions to the graphics core and show the results. State that the user sees in
// several places (zoom, transparent index, selected palette entry) lives here; everything
// about pictures, rows, palettes and files is decided by the core.
#include "graphics_ui/form_graphics.h"

#include <QActionGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTreeView>
#include <QVBoxLayout>

#include "graphics/device_preview.h"
#include "graphics/image_list.h"
#include "graphics/palette_import.h"
#include "graphics/picture_loader.h"
#include "graphics/text_export.h"
#include "graphics/view_maths.h"
#include "graphics_ui/image_list_model.h"
#include "graphics_ui/palette_grid.h"
#include "graphics_ui/picture_view.h"

namespace {

const char* const kImageFilter = "all available image files (*.bmp, *.jpg)|*.bmp;*.jpg"
                                 "|windows bitmap file (*.bmp)|*.bmp"
                                 "|jpeg image file (*.jpg)|*.jpg"
                                 "|Vela image file (*.vxg)|*.vxg";
const char* const kPaletteFilter =
    "all available palette files (*.act, *.pal)|*.act;*.pal|ACT palette file (*.act)|*.act";
const char* const kPaletteSaveFilter = "text file (*.txt)|*.txt";
const char* const kFolderTitle = "Choose folder where to save file(s)";

// An edit box that limits what the user types, pastes or drops to a number of characters,
// while text set by the program may be longer (and may then be shortened by the user).
// Every way the user changes the text is wrapped: a change that leaves the text longer
// than the limit and longer than before is taken back.
class TypedLimitEdit : public QLineEdit {
public:
    TypedLimitEdit(int limit, QWidget* parent) : QLineEdit(parent), limit_(limit) {}

protected:
    void keyPressEvent(QKeyEvent* event) override {
        guarded([&] { QLineEdit::keyPressEvent(event); });
    }
    void inputMethodEvent(QInputMethodEvent* event) override {
        guarded([&] { QLineEdit::inputMethodEvent(event); });
    }
    void mouseReleaseEvent(QMouseEvent* event) override {
        guarded([&] { QLineEdit::mouseReleaseEvent(event); });
    }
    void dropEvent(QDropEvent* event) override {
        guarded([&] { QLineEdit::dropEvent(event); });
    }
    void contextMenuEvent(QContextMenuEvent* event) override {
        guarded([&] { QLineEdit::contextMenuEvent(event); });
    }

private:
    template <typename Change> void guarded(Change change) {
        const QString before = text();
        const int cursor = cursorPosition();
        change();
        if (text().size() > limit_ && text().size() > before.size()) {
            setText(before);
            setCursorPosition(cursor);
        }
    }

    int limit_;
};

QFrame* makeSwatch(const char* name, QWidget* parent) {
    auto* swatch = new QFrame(parent);
    swatch->setObjectName(QString::fromLatin1(name));
    swatch->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    swatch->setFixedSize(24, 20);
    swatch->setAutoFillBackground(true);
    return swatch;
}

void paintSwatch(QFrame* swatch, QColor colour) {
    QPalette p = swatch->palette();
    p.setColor(QPalette::Window, colour);
    swatch->setPalette(p);
}

QColor entryColour(const PaletteEntry& e) {
    return QColor(e.red, e.green, e.blue);
}

QLabel* makeCaptionBar(const char* name, const QString& text, QWidget* parent) {
    auto* bar = new QLabel(text, parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setAutoFillBackground(true);
    bar->setBackgroundRole(QPalette::Dark);
    bar->setForegroundRole(QPalette::BrightText);
    bar->setContentsMargins(4, 2, 4, 2);
    return bar;
}

QLabel* makeValue(const char* name, QWidget* parent) {
    auto* value = new QLabel(QStringLiteral("0"), parent);
    value->setObjectName(QString::fromLatin1(name));
    value->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    value->setMinimumWidth(36);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    return value;
}

QLabel* makeChannelLabel(const QString& text, QColor colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, colour);
    label->setPalette(p);
    return label;
}

QPushButton* makeButton(const char* name, const QString& caption, QWidget* parent) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

std::string localPath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

} // namespace

TFormGraphics::TFormGraphics(QWidget* parent, GraphicsChoosers choosers)
    : QMainWindow(parent), choosers_(CompleteGraphicsChoosers(std::move(choosers))),
      model_(new ImageListModel(this)) {
    setObjectName(QStringLiteral("FormGraphics"));
    setWindowTitle(QStringLiteral("Graphics manager"));
    buildControls();
    buildMenus();
    statusBar();
    RefreshValues();
}

TFormGraphics::~TFormGraphics() = default;

void TFormGraphics::buildControls() {
    auto* outer = new QSplitter(Qt::Horizontal, this);
    outer->setObjectName(QStringLiteral("Splitter2"));
    auto* column = new QSplitter(Qt::Vertical, outer);
    column->setObjectName(QStringLiteral("Splitter1"));
    column->setChildrenCollapsible(false);

    // Palette area: the grid and its values, or the caption left when they are hidden.
    auto* paletteArea = new QFrame(column);
    paletteArea->setObjectName(QStringLiteral("PalArea"));
    paletteArea->setMinimumHeight(177);
    auto* paletteLayout = new QVBoxLayout(paletteArea);
    paletteLayout->setContentsMargins(0, 0, 0, 0);
    paletteLayout->setSpacing(2);
    PalInfo = makeCaptionBar("PalInfo", QStringLiteral("palette"), paletteArea);
    paletteLayout->addWidget(PalInfo);
    noPalette_ = new QLabel(QStringLiteral("no palette available"), paletteArea);
    noPalette_->setObjectName(QStringLiteral("NoPalette"));
    noPalette_->setAlignment(Qt::AlignCenter);
    noPalette_->hide();
    paletteLayout->addWidget(noPalette_, 1);
    auto* gridRow = new QHBoxLayout;
    GridPal = new PaletteGrid(&PaletteTable_, paletteArea);
    GridPal->setObjectName(QStringLiteral("GridPal"));
    gridRow->addWidget(GridPal, 0, Qt::AlignTop);
    PnlPal = new QWidget(paletteArea);
    PnlPal->setObjectName(QStringLiteral("PnlPal"));
    auto* values = new QGridLayout(PnlPal);
    values->setContentsMargins(4, 0, 0, 0);
    IdxEnt = makeValue("IdxEnt", PnlPal);
    Red = makeValue("Red", PnlPal);
    Green = makeValue("Green", PnlPal);
    Blue = makeValue("Blue", PnlPal);
    values->addWidget(new QLabel(QStringLiteral("#"), PnlPal), 0, 0);
    values->addWidget(IdxEnt, 0, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("R"), Qt::red, PnlPal), 1, 0);
    values->addWidget(Red, 1, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("G"), Qt::darkGreen, PnlPal), 2, 0);
    values->addWidget(Green, 2, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("B"), Qt::blue, PnlPal), 3, 0);
    values->addWidget(Blue, 3, 1);
    ColorSel = makeSwatch("ColorSel", PnlPal);
    paintSwatch(ColorSel, Qt::black);
    values->addWidget(ColorSel, 4, 1);
    BtnTransPal = makeButton("BtnTransPal", QStringLiteral("trans."), PnlPal);
    BtnTransPal->setEnabled(false);
    values->addWidget(BtnTransPal, 5, 0, 1, 2);
    values->setRowStretch(6, 1);
    gridRow->addWidget(PnlPal, 0, Qt::AlignTop);
    gridRow->addStretch(1);
    paletteLayout->addLayout(gridRow, 1);

    // View area: caption, the scroll box with the picture, and the bar below it.
    auto* viewArea = new QWidget(column);
    viewArea->setObjectName(QStringLiteral("ViewArea"));
    auto* viewLayout = new QVBoxLayout(viewArea);
    viewLayout->setContentsMargins(0, 0, 0, 0);
    viewLayout->setSpacing(2);
    ImgInfo = makeCaptionBar("ImgInfo", QStringLiteral("no image"), viewArea);
    viewLayout->addWidget(ImgInfo);
    ScrollBox_ = new ScrollBox(viewArea);
    ScrollBox_->setObjectName(QStringLiteral("ScrollBox"));
    ImgSel = ScrollBox_->view();
    viewLayout->addWidget(ScrollBox_, 1);
    auto* bar = new QHBoxLayout;
    bar->setSpacing(3);
    bFitted = new QCheckBox(QStringLiteral("fitted"), viewArea);
    bFitted->setObjectName(QStringLiteral("bFitted"));
    BtnZoomOut = makeButton("BtnZoomOut", QStringLiteral("-"), viewArea);
    BtnZoomIn = makeButton("BtnZoomIn", QStringLiteral("+"), viewArea);
    for (QPushButton* b : {BtnZoomOut, BtnZoomIn})
        b->setFixedWidth(26);
    UseTrans = new QCheckBox(viewArea);
    UseTrans->setObjectName(QStringLiteral("UseTrans"));
    BtnTrans = makeButton("BtnTrans", QStringLiteral("trans. color"), viewArea);
    BtnTrans->setEnabled(false);
    ColorTrans = makeSwatch("ColorTrans", viewArea);
    paintSwatch(ColorTrans, Qt::black);
    Trans = new QLineEdit(viewArea);
    Trans->setObjectName(QStringLiteral("Trans"));
    Trans->setReadOnly(true);
    Trans->setEnabled(false);
    Trans->setFixedWidth(34);
    BitBtn2 = makeButton("BitBtn2", QStringLiteral("BG..."), viewArea);
    // The bar must fit the column's 393 pixels, so its buttons take only their text's width.
    for (QPushButton* b : {BtnTrans, BitBtn2}) {
        const int text = b->fontMetrics().horizontalAdvance(b->text());
        b->setFixedWidth(text + 16);
    }
    ColorBG = makeSwatch("ColorBG", viewArea);
    paintSwatch(ColorBG, ScrollBox_->background());
    bar->addWidget(bFitted);
    bar->addWidget(BtnZoomOut);
    bar->addWidget(BtnZoomIn);
    bar->addSpacing(6);
    bar->addWidget(UseTrans);
    bar->addWidget(BtnTrans);
    bar->addWidget(ColorTrans);
    bar->addWidget(Trans);
    bar->addSpacing(6);
    bar->addWidget(BitBtn2);
    bar->addWidget(ColorBG);
    bar->addStretch(1);
    viewLayout->addLayout(bar);

    // List area: the rows, the list buttons and the names of the selected row.
    auto* listArea = new QWidget(outer);
    listArea->setObjectName(QStringLiteral("ListArea"));
    auto* listLayout = new QVBoxLayout(listArea);
    listLayout->setContentsMargins(0, 0, 0, 0);
    ListImg = new QTreeView(listArea);
    ListImg->setObjectName(QStringLiteral("ListImg"));
    ListImg->setModel(model_);
    ListImg->setRootIsDecorated(false);
    ListImg->setUniformRowHeights(true);
    ListImg->setAllColumnsShowFocus(true);
    ListImg->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListImg->setSelectionMode(QAbstractItemView::SingleSelection);
    ListImg->header()->setStretchLastSection(false);
    ListImg->setColumnWidth(kColCheck, 20);
    ListImg->setColumnWidth(kColFileNamePc, 120);
    ListImg->setColumnWidth(kColFileNameVx, 90);
    ListImg->setColumnWidth(kColVarName, 110);
    for (int c : {kColWidth, kColHeight, kColBpp, kColTrColor, kColUseTr})
        ListImg->setColumnWidth(c, 55);
    ListImg->setColumnHidden(kColTransIndex, true);
    ListImg->setColumnHidden(kColFullPath, true);
    listLayout->addWidget(ListImg, 1);
    auto* below = new QHBoxLayout;
    auto* buttons = new QVBoxLayout;
    BitBtn3 = makeButton("BitBtn3", QStringLiteral("select all"), listArea);
    BitBtn4 = makeButton("BitBtn4", QStringLiteral("delete"), listArea);
    BitBtn1 = makeButton("BitBtn1", QStringLiteral("reset"), listArea);
    buttons->addWidget(BitBtn3);
    buttons->addWidget(BitBtn4);
    buttons->addWidget(BitBtn1);
    buttons->addStretch(1);
    below->addLayout(buttons);
    auto* info = new QGroupBox(QStringLiteral("file info"), listArea);
    info->setObjectName(QStringLiteral("GroupFileInfo"));
    auto* infoLayout = new QGridLayout(info);
    NameVar = new QLineEdit(info);
    NameVar->setObjectName(QStringLiteral("NameVar"));
    NameVX = new TypedLimitEdit(static_cast<int>(kMaxVxNameLength), info);
    NameVX->setObjectName(QStringLiteral("NameVX"));
    infoLayout->addWidget(new QLabel(QStringLiteral("variable name"), info), 0, 0);
    infoLayout->addWidget(NameVar, 0, 1);
    infoLayout->addWidget(new QLabel(QStringLiteral("filename (VX)"), info), 1, 0);
    infoLayout->addWidget(NameVX, 1, 1);
    below->addWidget(info, 1);
    listLayout->addLayout(below);

    column->addWidget(paletteArea);
    column->addWidget(viewArea);
    column->setSizes({257, 400});
    column->setStretchFactor(1, 1);
    outer->addWidget(column);
    outer->addWidget(listArea);
    outer->setSizes({393, 500});
    outer->setStretchFactor(1, 1);
    setCentralWidget(outer);

    connect(ListImg->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TFormGraphics::ListImgSelectItem);
    connect(NameVar, &QLineEdit::textChanged, this, &TFormGraphics::NameVarChange);
    connect(NameVX, &QLineEdit::textChanged, this, &TFormGraphics::NameVXChange);
    connect(BitBtn3, &QPushButton::clicked, this, &TFormGraphics::BitBtn3Click);
    connect(BitBtn4, &QPushButton::clicked, this, &TFormGraphics::BitBtn4Click);
    connect(BitBtn1, &QPushButton::clicked, this, &TFormGraphics::BitBtn1Click);
    connect(BtnZoomIn, &QPushButton::clicked, this, &TFormGraphics::BtnZoomInClick);
    connect(BtnZoomOut, &QPushButton::clicked, this, &TFormGraphics::BtnZoomOutClick);
    connect(bFitted, &QCheckBox::toggled, this, &TFormGraphics::bFittedClick);
    connect(ScrollBox_, &ScrollBox::resized, this, &TFormGraphics::ScrollBoxResize);
    connect(BitBtn2, &QPushButton::clicked, this, &TFormGraphics::BitBtn2Click);
    connect(GridPal, &PaletteGrid::cellClicked, this, &TFormGraphics::GridPalClick);
    connect(UseTrans, &QCheckBox::toggled, this, &TFormGraphics::UseTransClick);
    connect(BtnTrans, &QPushButton::clicked, this, &TFormGraphics::BtnTransClick);
    connect(BtnTransPal, &QPushButton::clicked, this, &TFormGraphics::BtnTransPalClick);
    connect(ImgSel, &PictureView::mouseMoved, this, &TFormGraphics::ImgSelMouseMove);
    connect(ImgSel, &PictureView::mousePressed, this, &TFormGraphics::ImgSelMouseDown);
}

void TFormGraphics::buildMenus() {
    auto action = [this](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QMenu* open = file->addMenu(QStringLiteral("&Open"));
    open->setObjectName(QStringLiteral("Open1"));
    connect(action(open, "Image1", QStringLiteral("&Image(s)")), &QAction::triggered, this,
            &TFormGraphics::Image1Click);
    connect(action(open, "Palette1", QStringLiteral("&Palette")), &QAction::triggered, this,
            &TFormGraphics::Palette1Click);
    QMenu* saveImages = file->addMenu(QStringLiteral("Save &Image(s)"));
    connect(action(saveImages, "AsTextFiletxt1", QStringLiteral("As &Text File (*.txt)")),
            &QAction::triggered, this, &TFormGraphics::AsTextFiletxt1Click);
    connect(action(saveImages, "AsBinaryFilevxg1", QStringLiteral("As &Binary File (*.vxg)")),
            &QAction::triggered, this, &TFormGraphics::AsBinaryFilevxg1Click);
    QMenu* savePalette = file->addMenu(QStringLiteral("Save &Palette"));
    connect(action(savePalette, "AsTextFile1", QStringLiteral("As &Text File")),
            &QAction::triggered, this, &TFormGraphics::AsTextFile1Click);
    file->addSeparator();
    connect(action(file, "Exit1", QStringLiteral("E&xit")), &QAction::triggered, this,
            &TFormGraphics::Exit1Click);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    QMenu* scale = view->addMenu(QStringLiteral("&Scale"));
    auto* base = new QActionGroup(this);
    Decimal1 = action(scale, "Decimal1", QStringLiteral("&Decimal"));
    Hexadecimal1 = action(scale, "Hexadecimal1", QStringLiteral("&Hexadecimal"));
    for (QAction* a : {Decimal1, Hexadecimal1}) {
        a->setCheckable(true);
        base->addAction(a);
        connect(a, &QAction::triggered, this, &TFormGraphics::Decimal1Click);
    }
    Decimal1->setChecked(true);
    DevicePreview1 = action(view, "DevicePreview1", QStringLiteral("&Device preview (16 bit)"));
    DevicePreview1->setCheckable(true);
    connect(DevicePreview1, &QAction::triggered, this, &TFormGraphics::DevicePreview1Click);

    QMenu* palette = menuBar()->addMenu(QStringLiteral("&Palette"));
    connect(action(palette, "Convertto16bitformat1", QStringLiteral("&Convert to 16bit Format")),
            &QAction::triggered, this, &TFormGraphics::Convertto16bitformat1Click);
}

int TFormGraphics::selectedRow() const {
    const QModelIndexList rows = ListImg->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TFormGraphics::selectRow(int row) {
    ListImg->selectionModel()->setCurrentIndex(model_->index(row, kColFileNamePc),
                                               QItemSelectionModel::ClearAndSelect |
                                                   QItemSelectionModel::Rows);
}

void TFormGraphics::closeEvent(QCloseEvent* event) {
    emit formClosed();
    event->accept();
}

// ---- Menu actions ----

void TFormGraphics::Image1Click() {
    const QStringList paths = choosers_.openFiles(this, QString::fromLatin1(kImageFilter), true);
    int lastAppended = -1;
    for (const QString& path : paths) {
        ImageList loaded;
        const PictureLoadResult result = AppendImageFile(loaded, localPath(path), PaletteTable_);
        if (result != PictureLoadResult::Ok) {
            choosers_.message(this, QString::fromStdString(PictureLoadMessage(
                                        result, QFileInfo(path).fileName().toStdString())));
            // A picture without depth text is passed over; any other failure ends the
            // loading, keeping the rows already appended.
            if (result == PictureLoadResult::NotValidFormat) continue;
            break;
        }
        model_->append(std::move(loaded.front()));
        lastAppended = model_->rowCount() - 1;
    }
    if (lastAppended >= 0) selectRow(lastAppended);
}

void TFormGraphics::Palette1Click() {
    const QStringList paths = choosers_.openFiles(this, QString::fromLatin1(kPaletteFilter), false);
    if (paths.isEmpty()) return;
    const PaletteImportResult result = ImportPaletteFile(localPath(paths.first()), PaletteTable_);
    if (result == PaletteImportResult::Ignored) return;
    if (result != PaletteImportResult::Ok) {
        // A short read leaves part of the table replaced; the grid shows what it holds.
        GridPal->update();
        choosers_.message(this, QString::fromStdString(PaletteImportMessage(result)));
        return;
    }
    ShowPaletteControls(true);
    updatePreview();
}

void TFormGraphics::AsTextFiletxt1Click() {
    const QString folder =
        choosers_.browseForFolder(this, QString::fromLatin1(kFolderTitle), QDir::homePath());
    if (folder.isEmpty()) return;
    const LocalTime now = choosers_.now();
    for (const ImageItem& item : model_->items()) {
        if (!item.checked) continue;
        const ImageSaveResult result = SaveItemAsText(item, localPath(folder), now);
        if (result != ImageSaveResult::Ok)
            choosers_.message(this, QString::fromStdString(ImageTextSaveMessage(result, item)));
    }
}

void TFormGraphics::AsBinaryFilevxg1Click() {
    const QString folder =
        choosers_.browseForFolder(this, QString::fromLatin1(kFolderTitle), QDir::homePath());
    if (folder.isEmpty()) return;
    for (const ImageItem& item : model_->items()) {
        if (!item.checked) continue;
        const ImageSaveResult result = SaveItemAsVxg(item, localPath(folder));
        // Rows of a depth without a Vela image form are skipped silently; a file that could
        // not be written is said, so the user does not take it for saved.
        if (result == ImageSaveResult::CreateFailed || result == ImageSaveResult::WriteFailed)
            choosers_.message(this, QStringLiteral("failed to write file '%1.vxg'")
                                        .arg(QString::fromStdString(item.text[kColFileNameVx])));
    }
}

void TFormGraphics::AsTextFile1Click() {
    const QString path =
        choosers_.saveFile(this, QString::fromLatin1(kPaletteSaveFilter), QStringLiteral("*.txt"));
    if (path.isEmpty()) return;
    if (SavePaletteAsText(PaletteTable_, localPath(path)) != ImageSaveResult::Ok)
        choosers_.message(
            this, QStringLiteral("failed to create file '%1'").arg(QFileInfo(path).fileName()));
}

void TFormGraphics::Exit1Click() {
    // Inside the main window the frame around the form is what closes.
    if (auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
        frame->close();
    else
        close();
}

void TFormGraphics::Decimal1Click() {
    RefreshValues();
}

void TFormGraphics::Convertto16bitformat1Click() {
    ReduceToDevicePalette(PaletteTable_);
    SelectedColour = PaletteTable_[static_cast<std::size_t>(SelectedEntry)];
    paintSwatch(ColorSel, entryColour(SelectedColour));
    GridPal->update();
    RefreshValues();
    updatePreview();
}

void TFormGraphics::DevicePreview1Click() {
    updatePreview();
}

// ---- List and names ----

void TFormGraphics::ListImgSelectItem() {
    const int row = selectedRow();
    if (row < 0) return;
    ShowSelectedImage();
    const ImageItem& item = model_->item(row);
    {
        const QSignalBlocker vx(NameVX);
        const QSignalBlocker var(NameVar);
        NameVX->setText(QString::fromStdString(item.text[kColFileNameVx]));
        NameVar->setText(QString::fromStdString(item.text[kColVarName]));
    }
    // Loading the boxes runs their change handlers, so the row's device name becomes its
    // variable name.
    NameVXChange();
    NameVarChange();
}

void TFormGraphics::ShowSelectedImage() {
    const int row = selectedRow();
    if (row < 0) return;
    const ImageItem& item = model_->item(row);
    shown_ = item.picture;
    hasShown_ = true;
    ImgSel->setPicture(shown_);
    ImgSel->resize(shown_.width, shown_.height);
    shownCaption_ = QStringLiteral("'%1' (%2 * %3)")
                        .arg(QString::fromStdString(item.text[kColFileNamePc]))
                        .arg(shown_.width)
                        .arg(shown_.height);
    ImgInfo->setText(shownCaption_);
    UseTrans->setChecked(UsesTransparent(item));
    ShowPaletteControls(CopyPictureToPaletteTable(shown_, PaletteTable_) > 0);
    ZoomFactor = bFitted->isChecked() ? fitFactor() : 1.0f;
    ApplyZoom();
    updatePreview();
}

void TFormGraphics::NameVarChange() {
    const int row = selectedRow();
    if (row < 0) return;
    model_->setText(row, kColVarName, NameVar->text().toStdString());
    {
        const QSignalBlocker block(NameVX);
        NameVX->setText(NameVar->text());
    }
    NameVXChange();
}

void TFormGraphics::NameVXChange() {
    const int row = selectedRow();
    if (row < 0) return;
    model_->setText(row, kColFileNameVx, NameVX->text().toStdString());
}

void TFormGraphics::BitBtn3Click() {
    model_->checkAll();
}

void TFormGraphics::BitBtn4Click() {
    const int row = selectedRow();
    if (row < 0) return;
    if (!choosers_.confirm(this,
                           QStringLiteral("do you really want to delete this item from list?")))
        return;
    model_->removeItem(row);
    if (selectedRow() < 0) clearView();
}

void TFormGraphics::BitBtn1Click() {
    if (!choosers_.confirm(
            this, QStringLiteral("do you really want to clear all the items in image list?")))
        return;
    ClearImageList();
}

void TFormGraphics::ClearImageList() {
    model_->clear();
    clearView();
}

void TFormGraphics::clearView() {
    shown_ = Picture{};
    hasShown_ = false;
    ImgSel->clearPicture();
    ImgInfo->setText(QStringLiteral("no image"));
    ApplyZoom();
}

// ---- Zoom and background ----

float TFormGraphics::fitFactor() const {
    const QSize box = ScrollBox_->viewport()->size();
    return FitFactor(box.width(), box.height(), shown_.width, shown_.height);
}

void TFormGraphics::ApplyZoom() {
    ImgSel->resize(ZoomedLength(shown_.width, ZoomFactor), ZoomedLength(shown_.height, ZoomFactor));
    ScrollBox_->placeView(bFitted->isChecked());
    ImgSel->update();
}

void TFormGraphics::BtnZoomInClick() {
    ZoomFactor *= 2;
    ApplyZoom();
}

void TFormGraphics::BtnZoomOutClick() {
    ZoomFactor *= 0.5f;
    ApplyZoom();
}

void TFormGraphics::bFittedClick() {
    const bool fitted = bFitted->isChecked();
    ZoomFactor = fitted ? fitFactor() : 1.0f;
    ApplyZoom();
    BtnZoomIn->setEnabled(!fitted);
    BtnZoomOut->setEnabled(!fitted);
}

void TFormGraphics::ScrollBoxResize() {
    if (!bFitted->isChecked()) return;
    ZoomFactor = fitFactor();
    ApplyZoom();
}

void TFormGraphics::BitBtn2Click() {
    const QColor colour = choosers_.chooseColor(this, ScrollBox_->background());
    if (!colour.isValid()) return;
    ScrollBox_->setBackground(colour);
    paintSwatch(ColorBG, colour);
}

// ---- Palette and numbers ----

void TFormGraphics::GridPalClick(int column, int row) {
    SelectedEntry = column + PaletteGrid::kCells * row;
    SelectedColour = PaletteTable_[static_cast<std::size_t>(SelectedEntry)];
    paintSwatch(ColorSel, entryColour(SelectedColour));
    RefreshValues();
}

void TFormGraphics::ShowPaletteControls(bool show) {
    PalInfo->setVisible(show);
    PnlPal->setVisible(show);
    GridPal->setVisible(show);
    noPalette_->setVisible(!show);
    if (show) GridPal->update();
}

void TFormGraphics::RefreshValues() {
    const bool hex = Hexadecimal1->isChecked();
    auto number = [hex](int value) {
        return hex ? QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper()
                   : QString::number(value);
    };
    IdxEnt->setText(number(SelectedEntry));
    Red->setText(number(SelectedColour.red));
    Green->setText(number(SelectedColour.green));
    Blue->setText(number(SelectedColour.blue));
    Trans->setText(number(TransIndex));
    model_->refreshTrColors(hex);
}

void TFormGraphics::updatePreview() {
    const int row = selectedRow();
    if (!DevicePreview1->isChecked() || !hasShown_ || row < 0) {
        ImgSel->setPreview(std::nullopt);
        if (hasShown_) ImgInfo->setText(shownCaption_);
        return;
    }
    const ImageItem& item = model_->item(row);
    ImgSel->setPreview(
        DevicePreview(shown_, PaletteTable_, UsesTransparent(item), TransparentIndexOf(item)));
    ImgInfo->setText(shownCaption_ + QStringLiteral("  [device preview]"));
}

// ---- Transparency ----

void TFormGraphics::UseTransClick(bool checked) {
    BtnTrans->setEnabled(checked);
    Trans->setEnabled(checked);
    BtnTransPal->setEnabled(checked);
    ImgSel->setTransparentDrawing(checked);
    const int row = selectedRow();
    if (row >= 0) model_->setText(row, kColUseTr, checked ? "yes" : "no");
    updatePreview();
}

void TFormGraphics::BtnTransClick() {
    PickingTransparent = true;
    BtnTrans->setEnabled(false);
}

void TFormGraphics::ImgSelMouseMove(QPoint position) {
    if (!PickingTransparent || !hasShown_) return;
    int x = 0;
    int y = 0;
    if (!ViewToPicturePixel(position.x(), position.y(), ZoomFactor, shown_.width, shown_.height, x,
                            y))
        return;
    const Rgb c = shown_.colorAt(x, y);
    paintSwatch(ColorTrans, QColor(c.red, c.green, c.blue));
    TransIndex = shown_.indexAt(x, y);
    RefreshValues();
}

void TFormGraphics::ImgSelMouseDown(Qt::MouseButton button, QPoint) {
    if (!UseTrans->isChecked()) return;
    if (button == Qt::LeftButton) {
        acceptTransIndex(TransIndex);
        ImgSel->setTransparentColour(
            entryColour(PaletteTable_[static_cast<std::size_t>(TransIndex)]));
    } else if (button == Qt::RightButton) {
        TransIndex = AcceptedTransIndex;
        paintSwatch(ColorTrans, entryColour(PaletteTable_[static_cast<std::size_t>(TransIndex)]));
        RefreshValues();
    }
    PickingTransparent = false;
    BtnTrans->setEnabled(true);
}

void TFormGraphics::BtnTransPalClick() {
    TransIndex = SelectedEntry;
    const QColor colour = ColorSel->palette().color(QPalette::Window);
    paintSwatch(ColorTrans, colour);
    acceptTransIndex(TransIndex);
    ImgSel->setTransparentColour(colour);
}

void TFormGraphics::acceptTransIndex(int index) {
    AcceptedTransIndex = index;
    // The saves and "tr.color" read the row's own index, so an accepted colour goes there.
    const int row = selectedRow();
    if (row >= 0)
        model_->setTransparency(row, UsesTransparent(model_->item(row)),
                                static_cast<std::uint32_t>(index));
    RefreshValues();
    updatePreview();
}
