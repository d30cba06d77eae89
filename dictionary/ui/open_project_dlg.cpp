#include "dictionary/ui/open_project_dlg.h"

#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QStorageInfo>
#include <QStyle>
#include <QVBoxLayout>

#include "dictionary/schema.h"
#include "dictionary/ui/application_errors.h"
#include "dictionary/ui/form_style.h"
#include "engine/errors.h"

namespace vellum::dictionary {

namespace {

constexpr int kPathRole = Qt::UserRole;
constexpr int kDialogWidth = 340;
constexpr int kListHeight = 240;

// File systems that hold no user files.
bool IsPseudoFileSystem(const QByteArray& type) {
  static const QList<QByteArray> kPseudo = {
      "proc",    "sysfs",      "devtmpfs", "devpts",  "tmpfs",      "cgroup",
      "cgroup2", "mqueue",     "debugfs",  "tracefs", "securityfs", "pstore",
      "bpf",     "autofs",     "configfs", "fusectl", "hugetlbfs",  "binfmt_misc",
      "nsfs",    "rpc_pipefs", "efivarfs", "overlay", "squashfs"};
  return kPseudo.contains(type);
}

// True when `path` lies on the volume whose root is `root`.
bool OnVolume(const QString& path, const QString& root) {
  if (root.endsWith('/')) return path.startsWith(root);
  return path == root || path.startsWith(root + '/');
}

// The root of the volume `path` lies on: the longest root that holds it.
QString VolumeOf(const QString& path, const QStringList& roots) {
  QString best;
  for (const QString& root : roots) {
    if (OnVolume(path, root) && root.size() > best.size()) best = root;
  }
  return best;
}

std::string ToLocal(const QString& path) { return QFile::encodeName(path).toStdString(); }

}  // namespace

std::unique_ptr<QSettings> ProjectSettings() {
#ifdef Q_OS_WIN
  const QSettings::Scope scope = QSettings::SystemScope;
#else
  const QSettings::Scope scope = QSettings::UserScope;
#endif
  return std::make_unique<QSettings>(QSettings::NativeFormat, scope, "Corvane", "Vellum");
}

QStringList VolumeRoots() {
  QStringList roots;
  for (const QFileInfo& drive : QDir::drives()) roots << drive.absoluteFilePath();
  for (const QStorageInfo& volume : QStorageInfo::mountedVolumes()) {
    if (!volume.isValid() || !volume.isReady() || IsPseudoFileSystem(volume.fileSystemType())) {
      continue;
    }
    if (!roots.contains(volume.rootPath())) roots << volume.rootPath();
  }
  roots.sort();
  return roots;
}

TOpenProjectDlg::TOpenProjectDlg(Questions& questions, engine::FileSystem& fs, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint),
      cbDrive(new QComboBox(this)),
      lbDirectory(new QListWidget(this)),
      lblDirectory(new QLabel(this)),
      CreateBtn(new QPushButton(tr("Create"), this)),
      OKBtn(new QPushButton(tr("OK"), this)),
      CancelBtn(new QPushButton(tr("Cancel"), this)),
      questions_(questions),
      fs_(fs) {
  setObjectName("OpenProjectDlg");
  setFont(ui::DesignFont("MS Sans Serif", 8));
  cbDrive->setObjectName("cbDrive");
  lbDirectory->setObjectName("lbDirectory");
  lblDirectory->setObjectName("lblDirectory");
  CreateBtn->setObjectName("CreateBtn");
  OKBtn->setObjectName("OKBtn");
  CancelBtn->setObjectName("CancelBtn");
  QFont bold = lblDirectory->font();
  bold.setBold(true);
  lblDirectory->setFont(bold);
  // The label shows what fits of the directory; its text never widens it.
  lblDirectory->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  lbDirectory->setFixedHeight(kListHeight);
  OKBtn->setDefault(true);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(CreateBtn);
  buttons->addStretch();
  buttons->addWidget(OKBtn);
  buttons->addWidget(CancelBtn);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(cbDrive);
  layout->addWidget(lbDirectory);
  layout->addWidget(lblDirectory);
  layout->addLayout(buttons);
  setFixedSize(kDialogWidth, layout->sizeHint().height());
  layout->activate();

  roots_ = VolumeRoots();
  cbDrive->addItems(roots_);
  ui::ExceptionSafeConnect(cbDrive, &QComboBox::activated, this, &TOpenProjectDlg::cbDriveChange);
  ui::ExceptionSafeConnect(lbDirectory, &QListWidget::itemActivated, this,
                           &TOpenProjectDlg::lbDirectoryDblClick);
  ui::ExceptionSafeConnect(CreateBtn, &QPushButton::clicked, this,
                           &TOpenProjectDlg::CreateBtnClick);
  ui::ExceptionSafeConnect(OKBtn, &QPushButton::clicked, this, &TOpenProjectDlg::OKBtnClick);
  ui::ExceptionSafeConnect(CancelBtn, &QPushButton::clicked, this, &QDialog::reject);
  if (!setDirectory(QDir::currentPath())) setDirectory(QDir::rootPath());
}

bool TOpenProjectDlg::setDirectory(const QString& path) {
  const QFileInfo info(path);
  if (path.isEmpty() || !info.isDir()) return false;
  directory_ = QDir::cleanPath(info.absoluteFilePath());
  const QString volume = VolumeOf(directory_, roots_);
  directory_of_drive_[volume] = directory_;
  showDrive();
  fillDirectoryList();
  lbDirectoryChange();
  return true;
}

void TOpenProjectDlg::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
  FormShow();
}

void TOpenProjectDlg::changeEvent(QEvent* event) {
  QDialog::changeEvent(event);
  if (event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
}

void TOpenProjectDlg::FormShow() {
  std::unique_ptr<QSettings> settings = ProjectSettings();
  const QString last = settings->value("LastDirectory").toString();
  if (last.isEmpty()) return;
  // The drive first, then the directory; a step that fails ends the steps
  // silently and what came before it stays.
  const QString volume = VolumeOf(QDir::cleanPath(last), roots_);
  if (volume.isEmpty() || !QFileInfo(volume).isDir()) return;
  setDrive(volume);
  setDirectory(last);
}

void TOpenProjectDlg::FormActivate() {
  setWindowTitle(tr("Open data dictionary..."));
  lbDirectoryChange();
}

void TOpenProjectDlg::cbDriveChange(int index) { setDrive(cbDrive->itemText(index)); }

void TOpenProjectDlg::setDrive(const QString& root) {
  if (root == VolumeOf(directory_, roots_)) return;
  auto remembered = directory_of_drive_.find(root);
  if (remembered != directory_of_drive_.end() && setDirectory(remembered->second)) return;
  setDirectory(root);
}

void TOpenProjectDlg::lbDirectoryChange() {
  const bool dictionary = IsProjectDirectory(ToLocal(directory_), fs_);
  OKBtn->setEnabled(dictionary);
  CreateBtn->setEnabled(!dictionary);
  showDirectoryLabel();
}

void TOpenProjectDlg::lbDirectoryDblClick(QListWidgetItem* item) {
  setDirectory(item->data(kPathRole).toString());
}

void TOpenProjectDlg::CreateBtnClick() {
  const std::string directory = ToLocal(directory_);
  const Answer answer =
      questions_.ask(MessageKind::kConfirmation,
                     tr("Do you confirm the creation of a new Data Dictionary in \"%1\"?")
                         .arg(directory_)
                         .toStdString(),
                     Buttons::kOkCancel);
  if (answer != Answer::kOk) return;
  // Refuses, rather than empties, a dictionary another program made meanwhile.
  CreateDictionary(directory, fs_);
  lbDirectoryChange();
}

void TOpenProjectDlg::OKBtnClick() {
  if (!OKBtn->isEnabled()) return;
  accept();
  std::unique_ptr<QSettings> settings = ProjectSettings();
  settings->setValue("LastDirectory", directory_);
  settings->sync();
  if (settings->status() != QSettings::NoError) {
    throw Error("Cannot write the last directory into the settings \"" +
                ToLocal(settings->fileName()) + "\"");
  }
}

void TOpenProjectDlg::fillDirectoryList() {
  lbDirectory->clear();
  const QIcon open_icon = style()->standardIcon(QStyle::SP_DirOpenIcon);
  const QIcon closed_icon = style()->standardIcon(QStyle::SP_DirClosedIcon);
  // The chain from the volume's root down to the current directory.
  QStringList chain;
  for (QDir dir(directory_);;) {
    chain.prepend(dir.absolutePath());
    if (dir.isRoot() || !dir.cdUp()) break;
  }
  qsizetype depth = 0;
  for (const QString& path : chain) {
    const QString name = depth == 0 ? path : QFileInfo(path).fileName();
    auto* item = new QListWidgetItem(open_icon, QString(depth * 2, ' ') + name, lbDirectory);
    item->setData(kPathRole, path);
    ++depth;
  }
  lbDirectory->setCurrentRow(lbDirectory->count() - 1);
  const QDir current(directory_);
  for (const QFileInfo& sub :
       current.entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase)) {
    auto* item =
        new QListWidgetItem(closed_icon, QString(depth * 2, ' ') + sub.fileName(), lbDirectory);
    item->setData(kPathRole, sub.absoluteFilePath());
  }
}

void TOpenProjectDlg::showDrive() {
  const int index = cbDrive->findText(VolumeOf(directory_, roots_));
  if (index >= 0) cbDrive->setCurrentIndex(index);
}

void TOpenProjectDlg::showDirectoryLabel() {
  const QFontMetrics metrics(lblDirectory->font());
  const int width = lblDirectory->contentsRect().width() > 0 ? lblDirectory->contentsRect().width()
                                                             : kDialogWidth - 24;
  lblDirectory->setText(metrics.elidedText(directory_, Qt::ElideMiddle, width));
  lblDirectory->setToolTip(directory_);
}

}  // namespace vellum::dictionary
