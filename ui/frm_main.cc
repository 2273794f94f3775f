#include "ui/frm_main.h"

#include <QCloseEvent>
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

constexpr int kControlHeight = 21;

QFrame* NewPanel(QWidget* parent, const char* name, QFrame::Shadow shadow = QFrame::Plain) {
  auto* panel = new QFrame(parent);
  panel->setObjectName(name);
  panel->setFrameShape(shadow == QFrame::Sunken ? QFrame::Panel : QFrame::NoFrame);
  panel->setFrameShadow(shadow);
  return panel;
}

QPushButton* NewButton(QWidget* row, const char* name, const char* caption, const char* hint, int x, int width) {
  auto* button = new QPushButton(caption, row);
  button->setObjectName(name);
  button->setToolTip(hint);
  button->setGeometry(x, 5, width, kControlHeight);
  return button;
}

TrkActionButton* NewActionButton(QWidget* row, const char* name, QAction* action, int x, int width) {
  auto* button = new TrkActionButton(row);
  button->setObjectName(name);
  button->setGeometry(x, 5, width, kControlHeight);
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
  pAction->setFixedHeight(70);
  auto* rows = new QVBoxLayout(pAction);
  rows->setContentsMargins(1, 1, 1, 1);
  rows->setSpacing(0);
  pSource = NewPanel(pAction, "pSource");
  pSource->setFixedHeight(32);
  pSource->setToolTip("Choose or drag & drop source folder or file(s)");
  pTarget = NewPanel(pAction, "pTarget");
  pTarget->setFixedHeight(30);
  pTarget->setToolTip("Choose or drag & drop target folder");
  pOthers = NewPanel(pAction, "pOthers");
  rows->addWidget(pSource);
  rows->addWidget(pTarget);
  rows->addWidget(pOthers, 1);
  pSpacer = NewPanel(this, "pSpacer");
  pSpacer->setFixedHeight(2);

  eSource = NewLabelledEdit(pSource, "eSource", "&Source", 50, 500, &lblSource);
  bSource = NewButton(pSource, "bSource", "Folder", "Choose a folder and click \"Search\" to list files", 550, 38);
  bSourceFile = NewButton(pSource, "bSourceFile", "Files", "Choose file(s) and click \"Convert\" to convert them",
                          588, 38);
  cSubdir = new QCheckBox("Su&b folders", pSource);
  cSubdir->setObjectName("cSubdir");
  cSubdir->setLayoutDirection(Qt::RightToLeft);  // the text left of the box
  // Ends where the design's box ends; wider than its 72 pixels when the
  // platform's font needs it, so the caption is never cut.
  const int subdir_width = std::max(72, cSubdir->sizeHint().width());
  cSubdir->setGeometry(706 - subdir_width, 7, subdir_width, 17);
  bSearch = NewActionButton(pSource, "bSearch", aSearch, 710, 76);
  connect(bSource, &QPushButton::clicked, this, [this] { ProtectedCall(&TrkFrmMain::bSourceClick); });
  connect(bSourceFile, &QPushButton::clicked, this, [this] { ProtectedCall(&TrkFrmMain::bSourceFileClick); });

  eTarget = NewLabelledEdit(pTarget, "eTarget", "&Target", 50, 500, &lblTarget);
  bTarget = NewButton(pTarget, "bTarget", "Folder", "Choose a target folder to save the converted file(s)", 550, 38);
  bView = NewActionButton(pTarget, "bView", aView, 588, 38);
  bSearchConvert = NewActionButton(pTarget, "bSearchConvert", aSearchConvert, 630, 76);
  bCreate = NewActionButton(pTarget, "bCreate", aConvert, 710, 76);
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

QLineEdit* TrkFrmMain::NewLabelledEdit(QWidget* row, const char* name, const char* caption, int x, int width,
                                       QLabel** label) {
  auto* edit = new QLineEdit(row);
  edit->setObjectName(name);
  edit->setGeometry(x, 5, width, kControlHeight);
  *label = new QLabel(caption, row);
  (*label)->setBuddy(edit);
  const int label_width = (*label)->sizeHint().width();
  (*label)->setGeometry(x - 4 - label_width, 5, label_width, kControlHeight);
  return edit;
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
