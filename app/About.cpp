#include "app/About.h"

#include "app/Branding.h"
#include "app/Resources.h"
#include "ui_about.h"

#include <QDesktopServices>

About::About(QWidget* parent) : QDialog(parent)
{
    registerImages();
    ui = new Ui::About;
    ui->setupUi(this);
    ui->buildLabel->setText(QStringLiteral("Build: 20180330"));
    ui->versionLabel->setText(QStringLiteral("Version: 2.0.3"));
    ui->label_5->setStyleSheet(accentStyleSheet());
}

About::~About()
{
    delete ui;
}

void About::on_pushButton_clicked()
{
    QDesktopServices::openUrl(makerSite());
}
