// The about box: the program's title and version, the maker's lines and the
// program's picture, in a modal box closed with OK. Its texts are filled
// once, when it is created.
//
// Created once at start and reused; it owns its controls only.
#pragma once

#include <string>

#include <QDialog>
#include <QString>

class QFrame;
class QLabel;
class QPushButton;

namespace vellum::shell {

class TAboutBox : public QDialog {
  Q_OBJECT

 public:
  // `program_path` is the running program's file and `product_version` its
  // version ("2.0.0.19"); by default the program's own.
  explicit TAboutBox(QWidget* parent = nullptr);
  TAboutBox(const QString& program_path, const std::string& product_version,
            QWidget* parent = nullptr);

 private:
  QFrame* Panel1;
  QLabel* ProductName;
  QLabel* Version;
  QLabel* Company;
  QLabel* EMail;
  QLabel* WebAddress;
  QLabel* Image1;
  QPushButton* OKButton;

  void createControls();
  void FormCreate(const QString& program_path, const std::string& product_version);
};

}  // namespace vellum::shell
