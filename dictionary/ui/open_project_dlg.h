// The project directory dialog: at interactive start the user picks the
// directory that holds the dictionary, or creates a new, empty dictionary in
// a directory that holds none. A drive (volume) choice and a directory list
// browse the file system; OK is offered only for a directory that is a
// dictionary, Create only for one that is not. The last confirmed directory
// is remembered in the settings ("LastDirectory").
//
// Created once at start and shown modally whenever a project directory is
// asked for; it keeps its current directory between showings. It does not
// own the Questions or the file system it is given, which must outlive it.
#pragma once

#include <map>
#include <memory>
#include <string>

#include <QDialog>
#include <QSettings>

#include "dictionary/ui.h"
#include "engine/fs/file_system.h"

class QComboBox;
class QLabel;
class QListWidget;
class QListWidgetItem;
class QPushButton;

namespace vellum::dictionary {

// The settings in which the last confirmed project directory is kept:
// organization "Corvane", application "Vellum" (machine-wide on Windows).
std::unique_ptr<QSettings> ProjectSettings();

// The roots the drive choice offers: the file system's root and the mounted
// volumes that hold files (no kernel or memory file systems), sorted.
QStringList VolumeRoots();

class TOpenProjectDlg : public QDialog {
  Q_OBJECT

 public:
  // Questions go through `questions`; the dictionary test and creation use
  // `fs`.
  TOpenProjectDlg(Questions& questions, engine::FileSystem& fs, QWidget* parent = nullptr);

  // The current directory of the directory list: the dialog's result.
  QString directory() const { return directory_; }
  // Makes `path` the current directory of the list (and its volume the
  // current drive). False, changing nothing, when it is not a directory.
  bool setDirectory(const QString& path);

 protected:
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QComboBox* cbDrive;
  QListWidget* lbDirectory;
  QLabel* lblDirectory;
  QPushButton* CreateBtn;
  QPushButton* OKBtn;
  QPushButton* CancelBtn;

  void FormShow();
  void FormActivate();
  void cbDriveChange(int index);
  void lbDirectoryChange();
  void lbDirectoryDblClick(QListWidgetItem* item);
  void CreateBtnClick();
  void OKBtnClick();

  void fillDirectoryList();
  void showDrive();
  void showDirectoryLabel();
  void setDrive(const QString& root);

  Questions& questions_;
  engine::FileSystem& fs_;
  QStringList roots_;  // the drive choice's volume roots
  QString directory_;
  std::map<QString, QString> directory_of_drive_;  // last directory per volume root
};

}  // namespace vellum::dictionary
