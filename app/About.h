#pragma once
// The About dialog: product name, version, build and the maker's logo, which
// leads to the maker's web site.
#include <QDialog>

namespace Ui {
class About;
}

class About : public QDialog {
    Q_OBJECT
public:
    explicit About(QWidget* parent = nullptr);
    ~About() override;

private slots:
    void on_pushButton_clicked();

private:
    Ui::About* ui;
};
