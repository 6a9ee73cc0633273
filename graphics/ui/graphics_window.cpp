// SPDX-License-Identifier: MIT
// The graphics tool window: building its controls and menus, and the handlers that forward
// the user's actions to the graphics core and show the results. State that the user sees in
// several places (zoom, transparent index, selected palette entry) lives here; everything
// about pictures, rows, palettes and files is decided by the core.
#include "graphics_ui/graphics_window.h"

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

const char* const kImageFilter = "all available image files (*.bmp, *.jpg, *.png)|*.bmp;*.jpg;*.png"
                                 "|windows bitmap file (*.bmp)|*.bmp"
                                 "|jpeg image file (*.jpg)|*.jpg"
                                 "|png image file (*.png)|*.png"
                                 "|Vela image file (*.vxg)|*.vxg";
const char* const kNotAnIdentifier =
    "'%1' is not a C variable name: use letters, digits and _, not starting with a digit";
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

GraphicsWindow::GraphicsWindow(QWidget* parent, GraphicsChoosers choosers)
    : QMainWindow(parent), choosers_(CompleteGraphicsChoosers(std::move(choosers))),
      model_(new ImageListModel(this)) {
    setObjectName(QStringLiteral("GraphicsWindow"));
    setWindowTitle(QStringLiteral("Graphics manager"));
    buildControls();
    buildMenus();
    statusBar();
    refreshValues();
}

GraphicsWindow::~GraphicsWindow() = default;

void GraphicsWindow::buildControls() {
    auto* outer = new QSplitter(Qt::Horizontal, this);
    outer->setObjectName(QStringLiteral("outerSplitter"));
    auto* column = new QSplitter(Qt::Vertical, outer);
    column->setObjectName(QStringLiteral("columnSplitter"));
    column->setChildrenCollapsible(false);

    // Palette area: the grid and its values, or the caption left when they are hidden.
    auto* paletteArea = new QFrame(column);
    paletteArea->setObjectName(QStringLiteral("paletteArea"));
    paletteArea->setMinimumHeight(177);
    auto* paletteLayout = new QVBoxLayout(paletteArea);
    paletteLayout->setContentsMargins(0, 0, 0, 0);
    paletteLayout->setSpacing(2);
    paletteCaption_ = makeCaptionBar("paletteCaption", QStringLiteral("palette"), paletteArea);
    paletteLayout->addWidget(paletteCaption_);
    noPaletteLabel_ = new QLabel(QStringLiteral("no palette available"), paletteArea);
    noPaletteLabel_->setObjectName(QStringLiteral("noPaletteLabel"));
    noPaletteLabel_->setAlignment(Qt::AlignCenter);
    noPaletteLabel_->hide();
    paletteLayout->addWidget(noPaletteLabel_, 1);
    auto* gridRow = new QHBoxLayout;
    paletteGrid_ = new PaletteGrid(&paletteTable_, paletteArea);
    paletteGrid_->setObjectName(QStringLiteral("paletteGrid"));
    gridRow->addWidget(paletteGrid_, 0, Qt::AlignTop);
    paletteValues_ = new QWidget(paletteArea);
    paletteValues_->setObjectName(QStringLiteral("paletteValues"));
    auto* values = new QGridLayout(paletteValues_);
    values->setContentsMargins(4, 0, 0, 0);
    entryIndexLabel_ = makeValue("entryIndexLabel", paletteValues_);
    redLabel_ = makeValue("redLabel", paletteValues_);
    greenLabel_ = makeValue("greenLabel", paletteValues_);
    blueLabel_ = makeValue("blueLabel", paletteValues_);
    values->addWidget(new QLabel(QStringLiteral("#"), paletteValues_), 0, 0);
    values->addWidget(entryIndexLabel_, 0, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("R"), Qt::red, paletteValues_), 1, 0);
    values->addWidget(redLabel_, 1, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("G"), Qt::darkGreen, paletteValues_), 2, 0);
    values->addWidget(greenLabel_, 2, 1);
    values->addWidget(makeChannelLabel(QStringLiteral("B"), Qt::blue, paletteValues_), 3, 0);
    values->addWidget(blueLabel_, 3, 1);
    selectedSwatch_ = makeSwatch("selectedSwatch", paletteValues_);
    paintSwatch(selectedSwatch_, Qt::black);
    values->addWidget(selectedSwatch_, 4, 1);
    transFromPaletteButton_ =
        makeButton("transFromPaletteButton", QStringLiteral("trans."), paletteValues_);
    transFromPaletteButton_->setEnabled(false);
    values->addWidget(transFromPaletteButton_, 5, 0, 1, 2);
    values->setRowStretch(6, 1);
    gridRow->addWidget(paletteValues_, 0, Qt::AlignTop);
    gridRow->addStretch(1);
    paletteLayout->addLayout(gridRow, 1);

    // View area: caption, the scroll box with the picture, and the bar below it.
    auto* viewArea = new QWidget(column);
    viewArea->setObjectName(QStringLiteral("viewArea"));
    auto* viewLayout = new QVBoxLayout(viewArea);
    viewLayout->setContentsMargins(0, 0, 0, 0);
    viewLayout->setSpacing(2);
    pictureCaption_ = makeCaptionBar("pictureCaption", QStringLiteral("no image"), viewArea);
    viewLayout->addWidget(pictureCaption_);
    scrollBox_ = new ScrollBox(viewArea);
    scrollBox_->setObjectName(QStringLiteral("scrollBox"));
    pictureView_ = scrollBox_->view();
    viewLayout->addWidget(scrollBox_, 1);
    auto* bar = new QHBoxLayout;
    bar->setSpacing(3);
    fittedCheck_ = new QCheckBox(QStringLiteral("fitted"), viewArea);
    fittedCheck_->setObjectName(QStringLiteral("fittedCheck"));
    zoomOutButton_ = makeButton("zoomOutButton", QStringLiteral("-"), viewArea);
    zoomInButton_ = makeButton("zoomInButton", QStringLiteral("+"), viewArea);
    for (QPushButton* b : {zoomOutButton_, zoomInButton_})
        b->setFixedWidth(26);
    useTransparentCheck_ = new QCheckBox(viewArea);
    useTransparentCheck_->setObjectName(QStringLiteral("useTransparentCheck"));
    pickTransparentButton_ =
        makeButton("pickTransparentButton", QStringLiteral("trans. color"), viewArea);
    pickTransparentButton_->setEnabled(false);
    transparentSwatch_ = makeSwatch("transparentSwatch", viewArea);
    paintSwatch(transparentSwatch_, Qt::black);
    transIndexEdit_ = new QLineEdit(viewArea);
    transIndexEdit_->setObjectName(QStringLiteral("transIndexEdit"));
    transIndexEdit_->setReadOnly(true);
    transIndexEdit_->setEnabled(false);
    transIndexEdit_->setFixedWidth(34);
    backgroundButton_ = makeButton("backgroundButton", QStringLiteral("BG..."), viewArea);
    // The bar must fit the column's 393 pixels, so its buttons take only their text's width.
    for (QPushButton* b : {pickTransparentButton_, backgroundButton_}) {
        const int text = b->fontMetrics().horizontalAdvance(b->text());
        b->setFixedWidth(text + 16);
    }
    backgroundSwatch_ = makeSwatch("backgroundSwatch", viewArea);
    paintSwatch(backgroundSwatch_, scrollBox_->background());
    bar->addWidget(fittedCheck_);
    bar->addWidget(zoomOutButton_);
    bar->addWidget(zoomInButton_);
    bar->addSpacing(6);
    bar->addWidget(useTransparentCheck_);
    bar->addWidget(pickTransparentButton_);
    bar->addWidget(transparentSwatch_);
    bar->addWidget(transIndexEdit_);
    bar->addSpacing(6);
    bar->addWidget(backgroundButton_);
    bar->addWidget(backgroundSwatch_);
    bar->addStretch(1);
    viewLayout->addLayout(bar);

    // List area: the rows, the list buttons and the names of the selected row.
    auto* listArea = new QWidget(outer);
    listArea->setObjectName(QStringLiteral("listArea"));
    auto* listLayout = new QVBoxLayout(listArea);
    listLayout->setContentsMargins(0, 0, 0, 0);
    imageList_ = new QTreeView(listArea);
    imageList_->setObjectName(QStringLiteral("imageList"));
    imageList_->setModel(model_);
    imageList_->setRootIsDecorated(false);
    imageList_->setUniformRowHeights(true);
    imageList_->setAllColumnsShowFocus(true);
    imageList_->setSelectionBehavior(QAbstractItemView::SelectRows);
    imageList_->setSelectionMode(QAbstractItemView::SingleSelection);
    imageList_->header()->setStretchLastSection(false);
    imageList_->setColumnWidth(kColCheck, 20);
    imageList_->setColumnWidth(kColFileNamePc, 120);
    imageList_->setColumnWidth(kColFileNameVx, 90);
    imageList_->setColumnWidth(kColVarName, 110);
    for (int c : {kColWidth, kColHeight, kColBpp, kColTrColor, kColUseTr})
        imageList_->setColumnWidth(c, 55);
    imageList_->setColumnHidden(kColTransIndex, true);
    imageList_->setColumnHidden(kColFullPath, true);
    listLayout->addWidget(imageList_, 1);
    auto* below = new QHBoxLayout;
    auto* buttons = new QVBoxLayout;
    selectAllButton_ = makeButton("selectAllButton", QStringLiteral("select all"), listArea);
    deleteButton_ = makeButton("deleteButton", QStringLiteral("delete"), listArea);
    resetButton_ = makeButton("resetButton", QStringLiteral("reset"), listArea);
    buttons->addWidget(selectAllButton_);
    buttons->addWidget(deleteButton_);
    buttons->addWidget(resetButton_);
    buttons->addStretch(1);
    below->addLayout(buttons);
    auto* info = new QGroupBox(QStringLiteral("file info"), listArea);
    info->setObjectName(QStringLiteral("fileInfoGroup"));
    auto* infoLayout = new QGridLayout(info);
    varNameEdit_ = new QLineEdit(info);
    varNameEdit_->setObjectName(QStringLiteral("varNameEdit"));
    vxNameEdit_ = new TypedLimitEdit(static_cast<int>(kMaxVxNameLength), info);
    vxNameEdit_->setObjectName(QStringLiteral("vxNameEdit"));
    infoLayout->addWidget(new QLabel(QStringLiteral("variable name"), info), 0, 0);
    infoLayout->addWidget(varNameEdit_, 0, 1);
    infoLayout->addWidget(new QLabel(QStringLiteral("filename (VX)"), info), 1, 0);
    infoLayout->addWidget(vxNameEdit_, 1, 1);
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

    connect(imageList_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &GraphicsWindow::selectionChanged);
    connect(varNameEdit_, &QLineEdit::textChanged, this, &GraphicsWindow::varNameEdited);
    connect(varNameEdit_, &QLineEdit::editingFinished, this, &GraphicsWindow::varNameFinished);
    connect(vxNameEdit_, &QLineEdit::textChanged, this, &GraphicsWindow::vxNameEdited);
    connect(selectAllButton_, &QPushButton::clicked, this, &GraphicsWindow::selectAll);
    connect(deleteButton_, &QPushButton::clicked, this, &GraphicsWindow::deleteSelectedRow);
    connect(resetButton_, &QPushButton::clicked, this, &GraphicsWindow::resetList);
    connect(zoomInButton_, &QPushButton::clicked, this, &GraphicsWindow::zoomIn);
    connect(zoomOutButton_, &QPushButton::clicked, this, &GraphicsWindow::zoomOut);
    connect(fittedCheck_, &QCheckBox::toggled, this, &GraphicsWindow::fittedToggled);
    connect(scrollBox_, &ScrollBox::resized, this, &GraphicsWindow::scrollBoxResized);
    connect(backgroundButton_, &QPushButton::clicked, this, &GraphicsWindow::chooseBackground);
    connect(paletteGrid_, &PaletteGrid::cellClicked, this, &GraphicsWindow::paletteCellClicked);
    connect(useTransparentCheck_, &QCheckBox::toggled, this,
            &GraphicsWindow::useTransparentToggled);
    connect(pickTransparentButton_, &QPushButton::clicked, this,
            &GraphicsWindow::startPickingTransparent);
    connect(transFromPaletteButton_, &QPushButton::clicked, this,
            &GraphicsWindow::takeSelectedEntryAsTransparent);
    connect(pictureView_, &PictureView::mouseMoved, this, &GraphicsWindow::pictureMouseMoved);
    connect(pictureView_, &PictureView::mousePressed, this, &GraphicsWindow::pictureMousePressed);
}

void GraphicsWindow::buildMenus() {
    auto action = [this](QMenu* menu, const char* name, const QString& caption) {
        QAction* a = menu->addAction(caption);
        a->setObjectName(QString::fromLatin1(name));
        return a;
    };
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QMenu* open = file->addMenu(QStringLiteral("&Open"));
    open->setObjectName(QStringLiteral("openMenu"));
    connect(action(open, "openImagesAction", QStringLiteral("&Image(s)")), &QAction::triggered,
            this, &GraphicsWindow::loadImages);
    connect(action(open, "openPaletteAction", QStringLiteral("&Palette")), &QAction::triggered,
            this, &GraphicsWindow::importPalette);
    QMenu* saveImages = file->addMenu(QStringLiteral("Save &Image(s)"));
    connect(action(saveImages, "saveImagesTextAction", QStringLiteral("As &Text File (*.txt)")),
            &QAction::triggered, this, &GraphicsWindow::saveImagesAsText);
    connect(action(saveImages, "saveImagesVxgAction", QStringLiteral("As &Binary File (*.vxg)")),
            &QAction::triggered, this, &GraphicsWindow::saveImagesAsVxg);
    QMenu* savePalette = file->addMenu(QStringLiteral("Save &Palette"));
    connect(action(savePalette, "savePaletteTextAction", QStringLiteral("As &Text File")),
            &QAction::triggered, this, &GraphicsWindow::savePaletteText);
    file->addSeparator();
    connect(action(file, "exitAction", QStringLiteral("E&xit")), &QAction::triggered, this,
            &GraphicsWindow::closeWindow);

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    QMenu* scale = view->addMenu(QStringLiteral("&Scale"));
    auto* base = new QActionGroup(this);
    decimalAction_ = action(scale, "decimalAction", QStringLiteral("&Decimal"));
    hexadecimalAction_ = action(scale, "hexadecimalAction", QStringLiteral("&Hexadecimal"));
    for (QAction* a : {decimalAction_, hexadecimalAction_}) {
        a->setCheckable(true);
        base->addAction(a);
        connect(a, &QAction::triggered, this, &GraphicsWindow::numberBaseChanged);
    }
    decimalAction_->setChecked(true);
    devicePreviewAction_ =
        action(view, "devicePreviewAction", QStringLiteral("&Device preview (16 bit)"));
    devicePreviewAction_->setCheckable(true);
    connect(devicePreviewAction_, &QAction::triggered, this, &GraphicsWindow::devicePreviewToggled);

    QMenu* palette = menuBar()->addMenu(QStringLiteral("&Palette"));
    connect(action(palette, "convertPaletteAction", QStringLiteral("&Convert to 16bit Format")),
            &QAction::triggered, this, &GraphicsWindow::reduceToDevicePalette);
}

int GraphicsWindow::selectedRow() const {
    const QModelIndexList rows = imageList_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void GraphicsWindow::selectRow(int row) {
    imageList_->selectionModel()->setCurrentIndex(model_->index(row, kColFileNamePc),
                                                  QItemSelectionModel::ClearAndSelect |
                                                      QItemSelectionModel::Rows);
}

void GraphicsWindow::closeEvent(QCloseEvent* event) {
    emit windowClosed();
    event->accept();
}

// ---- Menu actions ----

void GraphicsWindow::loadImages() {
    const QStringList paths = choosers_.openFiles(this, QString::fromLatin1(kImageFilter), true);
    int lastAppended = -1;
    QStringList warnings;
    for (const QString& path : paths) {
        ImageList loaded;
        std::string warning;
        const PictureLoadResult result =
            AppendImageFile(loaded, localPath(path), paletteTable_, &warning);
        const QString name = QFileInfo(path).fileName();
        // One file that cannot be loaded is reported and passed over; the others still load.
        if (result != PictureLoadResult::Ok) {
            choosers_.message(
                this, QString::fromStdString(PictureLoadMessage(result, name.toStdString())));
            continue;
        }
        if (!warning.empty())
            warnings << QStringLiteral("'%1': %2").arg(name, QString::fromStdString(warning));
        model_->append(std::move(loaded.front()));
        lastAppended = model_->rowCount() - 1;
    }
    refreshValues();
    if (lastAppended >= 0) selectRow(lastAppended);
    // A decoder's complaint about a picture it delivered whole is worth a look, not a stop.
    if (!warnings.isEmpty()) statusBar()->showMessage(warnings.join(QStringLiteral("; ")));
}

void GraphicsWindow::importPalette() {
    const QStringList paths = choosers_.openFiles(this, QString::fromLatin1(kPaletteFilter), false);
    if (paths.isEmpty()) return;
    const PaletteImportResult result = ImportPaletteFile(localPath(paths.first()), paletteTable_);
    if (result == PaletteImportResult::Ignored) return;
    if (result != PaletteImportResult::Ok) {
        // A short read leaves part of the table replaced; the grid shows what it holds.
        paletteGrid_->update();
        choosers_.message(this, QString::fromStdString(PaletteImportMessage(result)));
        return;
    }
    showPaletteControls(true);
    updatePreview();
}

void GraphicsWindow::saveImagesAsText() {
    const QString folder =
        choosers_.browseForFolder(this, QString::fromLatin1(kFolderTitle), QDir::homePath());
    if (folder.isEmpty()) return;
    const LocalTime now = choosers_.now();
    const std::vector<bool> clashing = refuseClashes(SaveKind::Text);
    for (std::size_t i = 0; i < model_->items().size(); ++i) {
        const ImageItem& item = model_->items()[i];
        if (!item.checked || clashing[i]) continue;
        const ImageSaveResult result = SaveItemAsText(item, localPath(folder), now);
        if (result != ImageSaveResult::Ok)
            choosers_.message(this, QString::fromStdString(ImageTextSaveMessage(result, item)));
    }
}

void GraphicsWindow::saveImagesAsVxg() {
    const QString folder =
        choosers_.browseForFolder(this, QString::fromLatin1(kFolderTitle), QDir::homePath());
    if (folder.isEmpty()) return;
    const std::vector<bool> clashing = refuseClashes(SaveKind::Vxg);
    for (std::size_t i = 0; i < model_->items().size(); ++i) {
        const ImageItem& item = model_->items()[i];
        if (!item.checked || clashing[i]) continue;
        const ImageSaveResult result = SaveItemAsVxg(item, localPath(folder));
        // Rows of a depth without a Vela image form are skipped silently; a file that could
        // not be written is said, so the user does not take it for saved.
        if (result == ImageSaveResult::CreateFailed || result == ImageSaveResult::WriteFailed)
            choosers_.message(this, QStringLiteral("failed to write file '%1.vxg'")
                                        .arg(QString::fromStdString(item.text[kColFileNameVx])));
    }
}

std::vector<bool> GraphicsWindow::refuseClashes(SaveKind kind) {
    const ImageList& items = model_->items();
    const std::vector<int> clashes = SaveNameClashes(items, kind);
    std::vector<bool> clashing(items.size(), false);
    QStringList lines;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (clashes[i] < 0) continue;
        const ImageItem& earlier = items[static_cast<std::size_t>(clashes[i])];
        clashing[i] = true;
        clashing[static_cast<std::size_t>(clashes[i])] = true;
        lines << QStringLiteral("'%1' and '%2' would both be saved as '%3'")
                     .arg(QString::fromStdString(earlier.text[kColFileNamePc]),
                          QString::fromStdString(items[i].text[kColFileNamePc]),
                          QString::fromStdString(SaveFileName(items[i], kind)));
    }
    if (!lines.isEmpty()) {
        lines << QStringLiteral("these are not saved until they are renamed");
        choosers_.message(this, lines.join(QLatin1Char('\n')));
    }
    return clashing;
}

void GraphicsWindow::savePaletteText() {
    const QString path =
        choosers_.saveFile(this, QString::fromLatin1(kPaletteSaveFilter), QStringLiteral("*.txt"));
    if (path.isEmpty()) return;
    if (SavePaletteAsText(paletteTable_, localPath(path)) != ImageSaveResult::Ok)
        choosers_.message(
            this, QStringLiteral("failed to create file '%1'").arg(QFileInfo(path).fileName()));
}

void GraphicsWindow::closeWindow() {
    // Inside the main window the frame around the form is what closes.
    if (auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
        frame->close();
    else
        close();
}

void GraphicsWindow::numberBaseChanged() {
    refreshValues();
}

void GraphicsWindow::reduceToDevicePalette() {
    ReduceToDevicePalette(paletteTable_);
    selectedColour_ = paletteTable_[static_cast<std::size_t>(selectedEntry_)];
    paintSwatch(selectedSwatch_, entryColour(selectedColour_));
    paletteGrid_->update();
    refreshValues();
    updatePreview();
}

void GraphicsWindow::devicePreviewToggled() {
    updatePreview();
}

// ---- List and names ----

void GraphicsWindow::selectionChanged() {
    const int row = selectedRow();
    if (row < 0) return;
    showSelectedImage();
    const ImageItem& item = model_->item(row);
    {
        const QSignalBlocker vx(vxNameEdit_);
        const QSignalBlocker var(varNameEdit_);
        vxNameEdit_->setText(QString::fromStdString(item.text[kColFileNameVx]));
        varNameEdit_->setText(QString::fromStdString(item.text[kColVarName]));
    }
    // Loading the boxes runs their change handlers, so the row's device name becomes the
    // first 8 characters of its variable name.
    vxNameEdited();
    varNameEdited();
}

void GraphicsWindow::showSelectedImage() {
    const int row = selectedRow();
    if (row < 0) return;
    const ImageItem& item = model_->item(row);
    shown_ = item.picture;
    hasShown_ = true;
    pictureView_->setPicture(shown_);
    pictureView_->resize(shown_.width, shown_.height);
    shownCaption_ = QStringLiteral("'%1' (%2 * %3)")
                        .arg(QString::fromStdString(item.text[kColFileNamePc]))
                        .arg(shown_.width)
                        .arg(shown_.height);
    pictureCaption_->setText(shownCaption_);
    useTransparentCheck_->setChecked(UsesTransparent(item));
    showPaletteControls(CopyPictureToPaletteTable(shown_, paletteTable_) > 0);
    zoomFactor_ = fittedCheck_->isChecked() ? fitFactor() : 1.0f;
    applyZoom();
    updatePreview();
}

void GraphicsWindow::varNameEdited() {
    const int row = selectedRow();
    if (row < 0) return;
    const QString name = varNameEdit_->text();
    // The name goes into C source as it stands, so the row keeps its last good one.
    if (!IsCIdentifier(name.toStdString())) {
        statusBar()->showMessage(QString::fromLatin1(kNotAnIdentifier).arg(name));
        return;
    }
    statusBar()->clearMessage();
    model_->setText(row, kColVarName, name.toStdString());
    {
        const QSignalBlocker block(vxNameEdit_);
        vxNameEdit_->setText(name.left(static_cast<int>(kMaxVxNameLength)));
    }
    vxNameEdited();
}

void GraphicsWindow::varNameFinished() {
    const int row = selectedRow();
    const QString name = varNameEdit_->text();
    if (row < 0 || IsCIdentifier(name.toStdString())) return;
    const QSignalBlocker block(varNameEdit_);
    varNameEdit_->setText(QString::fromStdString(model_->item(row).text[kColVarName]));
    statusBar()->clearMessage();
    choosers_.message(this, QString::fromLatin1(kNotAnIdentifier).arg(name));
}

void GraphicsWindow::vxNameEdited() {
    const int row = selectedRow();
    if (row < 0) return;
    model_->setText(row, kColFileNameVx, vxNameEdit_->text().toStdString());
}

void GraphicsWindow::selectAll() {
    model_->checkAll();
}

void GraphicsWindow::deleteSelectedRow() {
    const int row = selectedRow();
    if (row < 0) return;
    if (!choosers_.confirm(this,
                           QStringLiteral("do you really want to delete this item from list?")))
        return;
    model_->removeItem(row);
    if (selectedRow() < 0) clearView();
}

void GraphicsWindow::resetList() {
    if (!choosers_.confirm(
            this, QStringLiteral("do you really want to clear all the items in image list?")))
        return;
    clearImageList();
}

void GraphicsWindow::clearImageList() {
    model_->clear();
    clearView();
}

void GraphicsWindow::clearView() {
    const QSignalBlocker var(varNameEdit_);
    const QSignalBlocker vx(vxNameEdit_);
    varNameEdit_->clear();
    vxNameEdit_->clear();
    shown_ = Picture{};
    hasShown_ = false;
    pictureView_->clearPicture();
    pictureCaption_->setText(QStringLiteral("no image"));
    applyZoom();
}

// ---- Zoom and background ----

float GraphicsWindow::fitFactor() const {
    const QSize box = scrollBox_->viewport()->size();
    return FitFactor(box.width(), box.height(), shown_.width, shown_.height);
}

void GraphicsWindow::applyZoom() {
    pictureView_->resize(ZoomedLength(shown_.width, zoomFactor_),
                         ZoomedLength(shown_.height, zoomFactor_));
    scrollBox_->placeView(fittedCheck_->isChecked());
    pictureView_->update();
}

void GraphicsWindow::zoomIn() {
    zoomFactor_ *= 2;
    applyZoom();
}

void GraphicsWindow::zoomOut() {
    zoomFactor_ *= 0.5f;
    applyZoom();
}

void GraphicsWindow::fittedToggled() {
    const bool fitted = fittedCheck_->isChecked();
    zoomFactor_ = fitted ? fitFactor() : 1.0f;
    applyZoom();
    zoomInButton_->setEnabled(!fitted);
    zoomOutButton_->setEnabled(!fitted);
}

void GraphicsWindow::scrollBoxResized() {
    if (!fittedCheck_->isChecked()) return;
    zoomFactor_ = fitFactor();
    applyZoom();
}

void GraphicsWindow::chooseBackground() {
    const QColor colour = choosers_.chooseColor(this, scrollBox_->background());
    if (!colour.isValid()) return;
    scrollBox_->setBackground(colour);
    paintSwatch(backgroundSwatch_, colour);
}

// ---- Palette and numbers ----

void GraphicsWindow::paletteCellClicked(int column, int row) {
    selectedEntry_ = column + PaletteGrid::kCells * row;
    selectedColour_ = paletteTable_[static_cast<std::size_t>(selectedEntry_)];
    paintSwatch(selectedSwatch_, entryColour(selectedColour_));
    refreshValues();
}

void GraphicsWindow::showPaletteControls(bool show) {
    paletteCaption_->setVisible(show);
    paletteValues_->setVisible(show);
    paletteGrid_->setVisible(show);
    noPaletteLabel_->setVisible(!show);
    if (show) paletteGrid_->update();
}

void GraphicsWindow::refreshValues() {
    const bool hex = hexadecimalAction_->isChecked();
    auto number = [hex](int value) {
        return hex ? QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper()
                   : QString::number(value);
    };
    entryIndexLabel_->setText(number(selectedEntry_));
    redLabel_->setText(number(selectedColour_.red));
    greenLabel_->setText(number(selectedColour_.green));
    blueLabel_->setText(number(selectedColour_.blue));
    transIndexEdit_->setText(number(transIndex_));
    model_->refreshTrColors(hex);
}

void GraphicsWindow::updatePreview() {
    const int row = selectedRow();
    if (!devicePreviewAction_->isChecked() || !hasShown_ || row < 0) {
        pictureView_->setPreview(std::nullopt);
        if (hasShown_) pictureCaption_->setText(shownCaption_);
        return;
    }
    const ImageItem& item = model_->item(row);
    pictureView_->setPreview(
        DevicePreview(shown_, paletteTable_, UsesTransparent(item), TransparentIndexOf(item)));
    pictureCaption_->setText(shownCaption_ + QStringLiteral("  [device preview]"));
}

// ---- Transparency ----

void GraphicsWindow::useTransparentToggled(bool checked) {
    pickTransparentButton_->setEnabled(checked);
    transIndexEdit_->setEnabled(checked);
    transFromPaletteButton_->setEnabled(checked);
    pictureView_->setTransparentDrawing(checked);
    const int row = selectedRow();
    if (row >= 0) model_->setText(row, kColUseTr, checked ? "yes" : "no");
    updatePreview();
}

void GraphicsWindow::startPickingTransparent() {
    pickingTransparent_ = true;
    pickTransparentButton_->setEnabled(false);
}

void GraphicsWindow::pictureMouseMoved(QPoint position) {
    if (!pickingTransparent_ || !hasShown_) return;
    int x = 0;
    int y = 0;
    if (!ViewToPicturePixel(position.x(), position.y(), zoomFactor_, shown_.width, shown_.height, x,
                            y))
        return;
    const Rgb c = shown_.colorAt(x, y);
    paintSwatch(transparentSwatch_, QColor(c.red, c.green, c.blue));
    transIndex_ = shown_.indexAt(x, y);
    refreshValues();
}

void GraphicsWindow::pictureMousePressed(Qt::MouseButton button, QPoint) {
    if (!useTransparentCheck_->isChecked()) return;
    if (button == Qt::LeftButton) {
        acceptTransIndex(transIndex_);
        pictureView_->setTransparentColour(
            entryColour(paletteTable_[static_cast<std::size_t>(transIndex_)]));
    } else if (button == Qt::RightButton) {
        transIndex_ = acceptedTransIndex_;
        paintSwatch(transparentSwatch_,
                    entryColour(paletteTable_[static_cast<std::size_t>(transIndex_)]));
        refreshValues();
    }
    pickingTransparent_ = false;
    pickTransparentButton_->setEnabled(true);
}

void GraphicsWindow::takeSelectedEntryAsTransparent() {
    transIndex_ = selectedEntry_;
    const QColor colour = selectedSwatch_->palette().color(QPalette::Window);
    paintSwatch(transparentSwatch_, colour);
    acceptTransIndex(transIndex_);
    pictureView_->setTransparentColour(colour);
}

void GraphicsWindow::acceptTransIndex(int index) {
    acceptedTransIndex_ = index;
    // The saves and "tr.color" read the row's own index, so an accepted colour goes there.
    const int row = selectedRow();
    if (row >= 0)
        model_->setTransparency(row, UsesTransparent(model_->item(row)),
                                static_cast<std::uint32_t>(index));
    refreshValues();
    updatePreview();
}
