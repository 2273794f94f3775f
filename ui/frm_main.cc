#include "ui/frm_main.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "batch/batch.h"
#include "project/project.h"
#include "report/info.h"
#include "report/link_opener.h"
#include "run/run.h"
#include "ui/dialogs.h"
#include "ui/frm_cfg.h"
#include "ui/gui_dispatcher.h"
#include "ui/list_model.h"
#include "ui/status_bar.h"
#include "ui/widget_control.h"

namespace {

// Room between the groups of a row, and between a label and its edit.
constexpr int kGroupGap = 8;
constexpr int kLabelGap = 4;

QFrame* NewPanel(QWidget* parent, const char* name, QFrame::Shadow shadow = QFrame::Plain) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setFrameShape(shadow == QFrame::Sunken ? QFrame::Panel : QFrame::NoFrame);
  panel->setFrameShadow(shadow);
  return panel;
}

// The controls of `panel`, left to right, each as wide as its text needs at
// least; the panel as high as its controls.
QHBoxLayout* NewRow(QFrame* panel) {
  panel->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  auto* row = new QHBoxLayout(panel);
  row->setContentsMargins(kGroupGap, kLabelGap, kGroupGap, kLabelGap);
  row->setSpacing(kGroupGap);
  return row;
}

// Exactly as wide as its caption needs: never cut, never stretched.
void KeepWhole(QWidget* widget) { widget->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed); }

QPushButton* NewButton(QBoxLayout* row, const char* name, const char* caption, const char* hint) {
  auto* button = new QPushButton(caption, row->parentWidget());
  button->setObjectName(name);
  button->setToolTip(hint);
  KeepWhole(button);
  row->addWidget(button);
  return button;
}

TrkActionButton* NewActionButton(QBoxLayout* row, const char* name, QAction* action, int design_width) {
  auto* button = new TrkActionButton(row->parentWidget(), design_width);
  button->setObjectName(name);
  KeepWhole(button);
  row->addWidget(button);
  button->Show(action);
  return button;
}

}  // namespace

TrkFrmMain::TrkFrmMain(TrkProject& project, TrkInfo& info, const TrkMatchBase* filter)
    : project_(project),
      info_(info),
      filter_(filter),
      dialogs_(std::make_unique<TrkQtDialogs>(this)),
      opener_(std::make_unique<TrkSystemOpener>()),
      model_(new TrkListModel(this)) {
  setObjectName("rkFrmMain");
  dispatcher_ = std::make_shared<TrkGuiDispatcher>(this, [this](const std::string& m) { ReportError(m); });
  CreateActions();
  CreateToolBar();
  CreateRows();
  CreateList();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(ToolBar);
  layout->addWidget(pAction);
  layout->addWidget(pSpacer);
  layout->addWidget(pViewer, 1);
  status_ = new TrkStatusBar(this);
  layout->addWidget(status_);
  daemon_timer_.setSingleShot(true);
  connect(&daemon_timer_, &QTimer::timeout, this, [this] { ProtectedCall(&TrkFrmMain::AutoRun); });
  release_timer_.setInterval(500);
  connect(&release_timer_, &QTimer::timeout, this, &TrkFrmMain::ReleaseEndedSearches);
  ShowIdle();
  CentreOnScreen();
}

TrkFrmMain::~TrkFrmMain() {
  StopAndWait();
  // FormDestroy: the bound controls and the dialog hooks go with the window.
  project_.UnbindControls();
  project_.OpenDialog = nullptr;
  project_.SaveDialog = nullptr;
  Retire(model_->Batch());
  model_->Show(nullptr);
  run_.reset();
  stopped_run_.reset();
  // Every batch's search uses the project, which outlives the window only as
  // long as the program runs.
  for (auto& batch : dropped_) batch->WaitForSearch();
}

QAction* TrkFrmMain::NewAction(const char* caption, const char* hint, const char* image,
                               void (TrkFrmMain::*handler)()) {
  auto* action = new QAction(caption, this);
  TrkKeepAccelerator(action);
  if (*hint != '\0') action->setToolTip(hint);
  if (image != nullptr) action->setIcon(QIcon(QString(":/images/") + image + ".png"));
  connect(action, &QAction::triggered, this, [this, handler] { ProtectedCall(handler); });
  return action;
}

void TrkFrmMain::CreateActions() {
  aConvert = NewAction("&Convert", "Convert the file(s) instantly", nullptr, &TrkFrmMain::aConvertExecute);
  aStop = NewAction("Sto&p", "", nullptr, &TrkFrmMain::aStopExecute);
  aStop->setData(0);  // the stop kind: 1 after Stop, 0 after Pause
  aOpen = NewAction("&Open", "Open a batch project", "open", &TrkFrmMain::aOpenExecute);
  aNew = NewAction("&New", "New a batch project", "new", &TrkFrmMain::aNewExecute);
  aConfig = NewAction("Config", "Config the options of the batch project", "config", &TrkFrmMain::aConfigExecute);
  aSave = NewAction("Sa&ve", "Save the batch project", "save", &TrkFrmMain::aSaveExecute);
  aSaveAs = NewAction("Save &As", "Save the batch project as ...", "saveas", &TrkFrmMain::aSaveAsExecute);
  aUpdate = NewAction("Check &Update", "", "update", &TrkFrmMain::aUpdateExecute);
  aHelp = NewAction("&Help", "", "help", &TrkFrmMain::aHelpExecute);
  aHomePage = NewAction("Home", "", "home", &TrkFrmMain::aHomePageExecute);
  aSupports = NewAction("Support", "Send us e-mail for support", "support", &TrkFrmMain::aSupportsExecute);
  aAbout = NewAction("About", "", "about", &TrkFrmMain::aAboutExecute);
  aSearch = NewAction("Search", "Search files from the source folder", nullptr, &TrkFrmMain::aSearchExecute);
  aView = NewAction("View", "View the convert result", nullptr, &TrkFrmMain::aViewExecute);
  aSearchConvert = NewAction("Start", "", nullptr, &TrkFrmMain::aSearchConvertExecute);
  aSearchConvert->setVisible(false);
  aPause = NewAction("Pause", "", nullptr, &TrkFrmMain::aPauseExecute);
}

void TrkFrmMain::CreateToolBar() {
  ToolBar = new QToolBar(this);
  ToolBar->setObjectName("ToolBar");
  ToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  ToolBar->setIconSize(QSize(16, 16));
  ToolBar->setMovable(false);
  ToolBar->setFloatable(false);
  // Never narrower than its buttons: none is hidden behind an overflow arrow.
  ToolBar->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
  pm2 = new QMenu(this);
  pm2->setObjectName("pm2");
  connect(pm2, &QMenu::aboutToShow, this, [this] { ProtectedCall(&TrkFrmMain::pm2Popup); });
  ToolBar->addAction(aOpen);
  tbOpen = qobject_cast<QToolButton*>(ToolBar->widgetForAction(aOpen));
  tbOpen->setObjectName("tbOpen");
  tbOpen->setMenu(pm2);
  tbOpen->setPopupMode(QToolButton::MenuButtonPopup);
  for (QAction* action : {aNew, aConfig, aSave, aSaveAs}) ToolBar->addAction(action);
  ToolBar->addSeparator()->setObjectName("tb1");
  ToolBar->addAction(aUpdate);
  ToolBar->addSeparator()->setObjectName("tb2");
  for (QAction* action : {aHelp, aHomePage, aSupports, aAbout}) ToolBar->addAction(action);
  const char* names[] = {"tbNew", "tbConfig", "tbSave", "tbSaveAs", "tbUpdate", "tbHelp", "tbHomePage", "tbSupports",
                         "tbAbout"};
  QAction* actions[] = {aNew, aConfig, aSave, aSaveAs, aUpdate, aHelp, aHomePage, aSupports, aAbout};
  for (size_t i = 0; i < std::size(names); ++i) ToolBar->widgetForAction(actions[i])->setObjectName(names[i]);
}

void TrkFrmMain::CreateRows() {
  pAction = NewPanel(this, "pAction", QFrame::Sunken);
  pAction->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  auto* rows = new QVBoxLayout(pAction);
  rows->setContentsMargins(1, 1, 1, 1);
  rows->setSpacing(0);
  pSource = NewPanel(pAction, "pSource");
  pSource->setToolTip("Choose or drag & drop source folder or file(s)");
  pTarget = NewPanel(pAction, "pTarget");
  pTarget->setToolTip("Choose or drag & drop target folder");
  pOthers = NewPanel(pAction, "pOthers");
  pOthers->setFixedHeight(6);
  rows->addWidget(pSource);
  rows->addWidget(pTarget);
  rows->addWidget(pOthers);
  pSpacer = NewPanel(this, "pSpacer");
  pSpacer->setFixedHeight(2);

  // The edits share what the buttons leave in the proportions of the
  // design's widths.
  QHBoxLayout* source_row = NewRow(pSource);
  eSource = NewLabelledEdit(source_row, 0, new QLineEdit, "eSource", "&Source", 500, &lblSource);
  bSource = NewButton(source_row, "bSource", "Folder", "Choose a folder and click \"Search\" to list files");
  bSourceFile = NewButton(source_row, "bSourceFile", "Files", "Choose file(s) and click \"Convert\" to convert them");
  cSubdir = new QCheckBox("Su&b folders", pSource);
  cSubdir->setObjectName("cSubdir");
  cSubdir->setLayoutDirection(Qt::RightToLeft);  // the text left of the box
  KeepWhole(cSubdir);
  source_row->addWidget(cSubdir);
  bSearch = NewActionButton(source_row, "bSearch", aSearch, 76);
  connect(bSource, &QPushButton::clicked, this, [this] { ProtectedCall(&TrkFrmMain::bSourceClick); });
  connect(bSourceFile, &QPushButton::clicked, this, [this] { ProtectedCall(&TrkFrmMain::bSourceFileClick); });

  target_row_ = NewRow(pTarget);
  eTarget = NewLabelledEdit(target_row_, 0, new QLineEdit, "eTarget", "&Target", 500, &lblTarget);
  bTarget = NewButton(target_row_, "bTarget", "Folder", "Choose a target folder to save the converted file(s)");
  bView = NewActionButton(target_row_, "bView", aView, 38);
  bSearchConvert = NewActionButton(target_row_, "bSearchConvert", aSearchConvert, 76);
  // Its room is kept while it is hidden, so that the edits stay put when a
  // run shows Stop there.
  QSizePolicy keep_room = bSearchConvert->sizePolicy();
  keep_room.setRetainSizeWhenHidden(true);
  bSearchConvert->setSizePolicy(keep_room);
  bCreate = NewActionButton(target_row_, "bCreate", aConvert, 76);
  AlignLabelColumn();
  connect(bTarget, &QPushButton::clicked, this, [this] { ProtectedCall(&TrkFrmMain::bTargetClick); });
  for (QLineEdit* edit : {eSource, eTarget}) edit->installEventFilter(this);  // double-clicks

  setTabOrder(eSource, bSource);
  setTabOrder(bSource, bSourceFile);
  setTabOrder(bSourceFile, cSubdir);
  setTabOrder(cSubdir, bSearch);
  setTabOrder(eTarget, bTarget);
  setTabOrder(bTarget, bSearchConvert);
  setTabOrder(bSearchConvert, bCreate);
  setTabOrder(bCreate, bView);
}

void TrkFrmMain::CreateList() {
  pViewer = NewPanel(this, "pViewer", QFrame::Sunken);
  auto* layout = new QVBoxLayout(pViewer);
  layout->setContentsMargins(1, 1, 1, 1);
  lViewer = new QTreeView(pViewer);
  lViewer->setObjectName("lViewer");
  lViewer->setFrameShape(QFrame::NoFrame);
  lViewer->setModel(model_);
  lViewer->setRootIsDecorated(false);
  lViewer->setUniformRowHeights(true);  // keeps 100,000 rows cheap to lay out
  lViewer->setSelectionMode(QAbstractItemView::ExtendedSelection);
  lViewer->setSelectionBehavior(QAbstractItemView::SelectRows);
  lViewer->setEditTriggers(QAbstractItemView::NoEditTriggers);
  lViewer->setIconSize(QSize(16, 16));
  lViewer->setToolTip("Drag & drop file(s) here and click \"Convert\" to convert them");
  lViewer->header()->setStretchLastSection(false);
  lViewer->header()->setSectionResizeMode(0, QHeaderView::Fixed);
  lViewer->header()->setMinimumSectionSize(16);
  lViewer->setColumnWidth(0, 30);
  lViewer->setColumnWidth(1, 370);
  lViewer->setColumnWidth(2, 370);
  layout->addWidget(lViewer);

  pm1 = new QMenu(this);
  pm1->setObjectName("pm1");
  BrowseFiles1 = pm1->addAction("Browse Files", this, [this] { ProtectedCall(&TrkFrmMain::bSourceFileClick); });
  pm1->addSeparator();
  ViewSource1 = pm1->addAction("View  Source", this, [this] { ProtectedCall(&TrkFrmMain::ViewSource1Click); });
  OpenSource1 = pm1->addAction("Open Source", this, [this] { ProtectedCall(&TrkFrmMain::OpenSource1Click); });
  pm1->addSeparator();
  ViewOutput1 = aView;
  pm1->addAction(aView);
  pm1->addSeparator();
  ExportList1 = pm1->addAction("Export the List", this, [this] { ProtectedCall(&TrkFrmMain::ExportList1Click); });
  lViewer->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(lViewer, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
    ProtectedCall(&TrkFrmMain::pm1Popup);
    pm1->popup(lViewer->viewport()->mapToGlobal(at));
  });
}

QLineEdit* TrkFrmMain::NewLabelledEdit(QHBoxLayout* row, int at, QLineEdit* edit, const char* name,
                                       const char* caption, int share, QLabel** label) {
  edit->setObjectName(name);
  *label = new QLabel(caption);
  (*label)->setObjectName(QString("lbl") + (name + 1));
  (*label)->setBuddy(edit);
  (*label)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  (*label)->setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
  auto* pair = new QHBoxLayout;
  pair->setSpacing(kLabelGap);
  pair->addWidget(*label);
  pair->addWidget(edit, 1);
  row->insertLayout(at, pair, share);
  return edit;
}

void TrkFrmMain::AlignLabelColumn() {
  // The two rows' first edits start at the same place, as in the design.
  const int width = std::max(lblSource->sizeHint().width(), lblTarget->sizeHint().width());
  lblSource->setMinimumWidth(width);
  lblTarget->setMinimumWidth(width);
}

void TrkFrmMain::changeEvent(QEvent* event) {
  TrkFrmBase::changeEvent(event);
  // The children have their new font by now.
  if (event->type() == QEvent::FontChange) AlignLabelColumn();
}

void TrkFrmMain::SetDialogs(std::unique_ptr<TrkDialogs> dialogs) { dialogs_ = std::move(dialogs); }
void TrkFrmMain::SetOpener(std::unique_ptr<TrkLinkOpener> opener) { opener_ = std::move(opener); }

void TrkFrmMain::BindOption(QWidget* widget, const std::string& hint) {
  bound_.push_back(std::make_unique<TrkWidgetControl>(widget, hint));
  project_.BindControl(bound_.back().get());
}

void TrkFrmMain::RegisterOptionControls() {
  BindOption(eSource, "Text");
  BindOption(cSubdir, "Checked");
  BindOption(eTarget, "Text");
}

void TrkFrmMain::FormCreate() {
  RegisterOptionControls();
  project_.OpenDialog = [this](const std::string& filter, std::string& name) {
    return dialogs_->OpenFileDialog(filter, name, false);
  };
  project_.SaveDialog = [this](const std::string& filter, const std::string& ext, std::string& name) {
    return dialogs_->SaveFileDialog(filter, ext, name);
  };
  project_.OpenDefault();
  UpdateCaption();
  AcceptFileDrops(eSource);
  AcceptFileDrops(eTarget);
  AcceptFileDrops(lViewer->viewport());
}

void TrkFrmMain::AcceptFileDrops(QWidget* widget) {
  widget->setAcceptDrops(true);
  widget->installEventFilter(this);
}

void TrkFrmMain::showEvent(QShowEvent* event) {
  TrkFrmBase::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // After the first showing has been handled: an automatic run may close the
  // window at once.
  QTimer::singleShot(0, this, [this] { ProtectedCall(&TrkFrmMain::AutoRun); });
}

void TrkFrmMain::closeEvent(QCloseEvent* event) {
  daemon_timer_.stop();
  StopAndWait();
  TrkFrmBase::closeEvent(event);
}

bool TrkFrmMain::eventFilter(QObject* watched, QEvent* event) {
  auto* widget = qobject_cast<QWidget*>(watched);
  switch (event->type()) {
    case QEvent::MouseButtonDblClick:
      if (watched == eSource) ProtectedCall(&TrkFrmMain::bSourceFileClick);
      if (watched == eTarget && target_is_local_) ProtectedCall(&TrkFrmMain::bTargetClick);
      return false;
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDropEvent*>(event);
      if (!drag->mimeData()->hasUrls()) return false;
      drag->acceptProposedAction();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      if (!drop->mimeData()->hasUrls()) return false;
      QStringList names;
      for (const QUrl& url : drop->mimeData()->urls()) {
        names << (url.isLocalFile() ? url.toLocalFile() : url.toString());
      }
      drop->acceptProposedAction();
      try {
        FilesDropped(widget, names);
      } catch (const std::exception& e) {
        ReportError(e.what());
      }
      return true;
    }
    default:
      return QWidget::eventFilter(watched, event);
  }
}

void TrkFrmMain::ProtectedCall(void (TrkFrmMain::*handler)()) {
  try {
    (this->*handler)();
  } catch (const std::exception& e) {
    ReportError(e.what());
  }
}

void TrkFrmMain::ReportError(const std::string& message) { info_.ReportError(message); }
