// The two windows as the user sees them: widget tree, classes, geometry,
// fonts, texts, pictures, the Help menu, the About dialog and the logo links.
#include "app/About.h"
#include "app/MainWindow.h"
#include "tests/app/WindowHarness.h"

#include <QAction>
#include <QComboBox>
#include <QDesktopServices>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QResource>
#include <QScreen>
#include <QTextBrowser>
#include <QtTest>

// Receives the URLs that the logo buttons ask the desktop to open.
class UrlCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

class FormsTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void mainWindowIsFixedSizeWithTitleFontAndIcon();
    void centralWidgetsInCreationOrder();
    void widgetGeometryFontsAndTexts_data();
    void widgetGeometryFontsAndTexts();
    void buttonsLabelsAndBarsHaveTheirLooks();
    void styleSheetsSetByTheController();
    void helpMenuHoldsOnlyAbout();
    void aboutOpensModelessOnce();
    void aboutDialogLayout();
    void aboutShowsVersionAndBuild();
    void logoButtonsOpenTheMakersSite();
    void clickingElsewhereOnAboutOpensNothing();
    void picturesAreBundledUncompressed_data();
    void picturesAreBundledUncompressed();
    void metaObjectOrder();

private:
    template <class T>
    T* child(const char* name) const
    {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        if (!found)
            qFatal("no child %s", name);
        return found;
    }
    About* aboutDialog() const { return window->findChild<About*>(); }

    std::shared_ptr<TestPorts> ports;
    MainWindow* window = nullptr;
    UrlCatcher catcher;
};

void FormsTest::init()
{
    ports = std::make_shared<TestPorts>();
    window = new MainWindow(testOptions(ports));
    QTRY_VERIFY(window->isVisible());
    QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
    catcher.urls.clear();
}

void FormsTest::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("https"));
    delete window;
    window = nullptr;
}

void FormsTest::mainWindowIsFixedSizeWithTitleFontAndIcon()
{
    QCOMPARE(window->objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Mirdal"));
    QCOMPARE(window->size(), QSize(764, 615));
    QCOMPARE(window->minimumSize(), QSize(764, 615));
    QCOMPARE(window->maximumSize(), QSize(764, 615));
    QVERIFY(window->isEnabled());
    QCOMPARE(window->font().family(), QStringLiteral("Helvetica Neue"));
    QCOMPARE(window->font().pointSize(), 10);
    QVERIFY(window->windowIcon().availableSizes().contains(QSize(128, 143)));

    // Centred on the screen's available area.
    const QRect available = window->screen()->availableGeometry();
    QCOMPARE(window->geometry().center(),
             QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, QSize(764, 615), available).center());
}

void FormsTest::centralWidgetsInCreationOrder()
{
    QWidget* central = window->centralWidget();
    QCOMPARE(central->objectName(), QStringLiteral("centralWidget"));
    QStringList names;
    for (QObject* object : central->children()) {
        if (object->isWidgetType())
            names << object->objectName();
    }
    QCOMPARE(names, (QStringList{"label_2", "terminalsNames", "imageTerminal", "generateButton", "operationTitleLabel",
                                 "moduleProgressBar", "totalProgressBar", "moduleLabel", "moduleLabel_2",
                                 "operationDescriptionLabel", "label_3", "pushButton"}));
}

void FormsTest::widgetGeometryFontsAndTexts_data()
{
    QTest::addColumn<QString>("className");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("family"); // the window's when empty
    QTest::addColumn<int>("pointSize");
    QTest::addColumn<QString>("text"); // null: the widget has no fixed text

    const QString window = QStringLiteral("Helvetica Neue");
    const QString segoe = QStringLiteral("Segoe UI");
    QTest::newRow("label_2") << "QLabel" << QRect(30, 90, 331, 41) << segoe << 11
                             << QStringLiteral("Votre terminal a été détecté sur le port :");
    QTest::newRow("terminalsNames") << "QComboBox" << QRect(30, 130, 421, 31) << segoe << 12 << QString();
    QTest::newRow("imageTerminal") << "QLabel" << QRect(460, 60, 281, 291) << window << 10 << QString("");
    QTest::newRow("generateButton") << "QPushButton" << QRect(30, 360, 671, 51) << window << 18
                                    << QStringLiteral("Démarrer la mise à jour");
    QTest::newRow("operationTitleLabel") << "QLabel" << QRect(30, 170, 421, 31) << segoe << 12 << QString();
    QTest::newRow("moduleProgressBar") << "QProgressBar" << QRect(30, 540, 711, 41) << segoe << 10 << QString();
    QTest::newRow("totalProgressBar") << "QProgressBar" << QRect(30, 460, 711, 41) << segoe << 10 << QString();
    QTest::newRow("moduleLabel") << "QLabel" << QRect(30, 500, 671, 41) << segoe << 11 << QString("");
    QTest::newRow("moduleLabel_2") << "QLabel" << QRect(30, 420, 671, 41) << segoe << 11 << QString("");
    QTest::newRow("operationDescriptionLabel")
        << "QTextBrowser" << QRect(30, 210, 421, 121) << segoe << 12 << QString();
    QTest::newRow("label_3") << "QLabel" << QRect(180, 10, 521, 61) << segoe << 18
                             << QStringLiteral("Mise à jour logicielle de votre terminal");
    QTest::newRow("pushButton") << "QPushButton" << QRect(20, 10, 151, 61) << window << 10 << QString("");
}

void FormsTest::widgetGeometryFontsAndTexts()
{
    QFETCH(QString, className);
    QFETCH(QRect, geometry);
    QFETCH(QString, family);
    QFETCH(int, pointSize);
    QFETCH(QString, text);

    auto* widget = window->centralWidget()->findChild<QWidget*>(QString::fromLatin1(QTest::currentDataTag()),
                                                                Qt::FindDirectChildrenOnly);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->geometry(), geometry);
    QCOMPARE(widget->font().family(), family);
    QCOMPARE(widget->font().pointSize(), pointSize);
    QCOMPARE(widget->font().weight(), int(QFont::Normal));
    QVERIFY(!widget->font().italic());
    if (!text.isNull())
        QCOMPARE(widget->property("text").toString(), text);
}

void FormsTest::buttonsLabelsAndBarsHaveTheirLooks()
{
    auto* start = child<QPushButton>("generateButton");
    QCOMPARE(start->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(start->iconSize(), QSize(64, 64));
    QVERIFY(!start->autoDefault());
    QVERIFY(!start->isFlat());

    auto* logo = child<QPushButton>("pushButton");
    QCOMPARE(logo->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(logo->iconSize(), QSize(140, 59));
    QVERIFY(logo->isFlat());
    QVERIFY(logo->icon().availableSizes().contains(QSize(140, 59)));

    auto* heading = child<QLabel>("label_3");
    QCOMPARE(heading->alignment(), Qt::AlignCenter);
    QCOMPARE(heading->sizePolicy(), QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred));
    QCOMPARE(heading->sizePolicy().horizontalStretch(), 0);
    QCOMPARE(heading->sizePolicy().verticalStretch(), 0);

    QCOMPARE(child<QLabel>("operationTitleLabel")->frameShape(), QFrame::StyledPanel);
    for (const char* name : {"moduleProgressBar", "totalProgressBar"}) {
        auto* bar = child<QProgressBar>(name);
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
    }
}

void FormsTest::styleSheetsSetByTheController()
{
    // The heading and the start button are written in the maker's teal.
    const QColor teal(0, 130, 123);
    QCOMPARE(child<QLabel>("label_3")->palette().color(QPalette::WindowText), teal);
    QCOMPARE(child<QPushButton>("generateButton")->palette().color(QPalette::ButtonText), teal);
    QCOMPARE(child<QLabel>("label_2")->palette().color(QPalette::WindowText),
             window->palette().color(QPalette::WindowText));
    QVERIFY(child<QLabel>("label_2")->palette().color(QPalette::WindowText) != teal);
    QCOMPARE(child<QTextBrowser>("operationDescriptionLabel")->styleSheet(),
             QStringLiteral("background-color: qlineargradient(spread:pad, x1:0, y1:0, x2:1, y2:0, "
                            "stop:0 rgba(0, 0, 0, 0), stop:1 rgba(255, 255, 255, 0));"));
}

void FormsTest::helpMenuHoldsOnlyAbout()
{
    QMenuBar* bar = window->menuBar();
    QCOMPARE(bar->objectName(), QStringLiteral("menuBar"));
    QCOMPARE(bar->geometry().topLeft(), QPoint(0, 0));
    QCOMPARE(bar->width(), 764);
    auto* menu = child<QMenu>("menuAbout");
    QCOMPARE(bar->actions(), QList<QAction*>{menu->menuAction()});
    QCOMPARE(menu->title(), QStringLiteral("Help"));
    auto* about = child<QAction>("actionAbout");
    QCOMPARE(menu->actions(), QList<QAction*>{about});
    QCOMPARE(about->text(), QStringLiteral("About"));
}

void FormsTest::aboutOpensModelessOnce()
{
    QCOMPARE(window->findChildren<About*>().size(), 1);
    About* about = aboutDialog();
    QCOMPARE(about->parentWidget(), window);
    QVERIFY(!about->isVisible());

    child<QAction>("actionAbout")->trigger();
    QVERIFY(about->isVisible());
    QVERIFY(!about->isModal());
    QCOMPARE(QApplication::activeModalWidget(), nullptr);

    child<QAction>("actionAbout")->trigger();
    QCOMPARE(window->findChildren<About*>().size(), 1);
    QVERIFY(about->isVisible());
}

void FormsTest::aboutDialogLayout()
{
    About* about = aboutDialog();
    QCOMPARE(about->objectName(), QStringLiteral("About"));
    QCOMPARE(about->windowTitle(), QStringLiteral("About"));
    QCOMPARE(about->size(), QSize(630, 130));
    QCOMPARE(about->minimumSize(), QSize(630, 130));
    QCOMPARE(about->maximumSize(), QSize(630, 130));

    QStringList names;
    for (QObject* object : about->children()) {
        if (object->isWidgetType())
            names << object->objectName();
    }
    QCOMPARE(names, (QStringList{"label_5", "label_6", "versionLabel", "buildLabel", "pushButton"}));

    auto* name = about->findChild<QLabel*>("label_5");
    QCOMPARE(name->geometry(), QRect(310, 10, 321, 21));
    QCOMPARE(name->text(), QStringLiteral("Mirdal"));
    QCOMPARE(name->font().family(), QStringLiteral("Segoe UI"));
    QCOMPARE(name->font().pointSize(), 16);
    QCOMPARE(name->font().weight(), int(QFont::Normal));
    QCOMPARE(name->frameShadow(), QFrame::Plain);
    QCOMPARE(name->alignment(), Qt::AlignCenter);
    QVERIFY(name->wordWrap());
    about->ensurePolished();
    QCOMPARE(name->palette().color(QPalette::WindowText), QColor(0, 130, 123));

    const QList<QPair<const char*, QRect>> lines{{"label_6", QRect(310, 100, 321, 21)},
                                                 {"versionLabel", QRect(310, 40, 321, 21)},
                                                 {"buildLabel", QRect(310, 70, 321, 21)}};
    for (const auto& line : lines) {
        auto* label = about->findChild<QLabel*>(line.first);
        QVERIFY2(label, line.first);
        QCOMPARE(label->geometry(), line.second);
        QCOMPARE(label->font().family(), QStringLiteral("Segoe UI"));
        QCOMPARE(label->font().pointSize(), 12);
        QCOMPARE(label->font().weight(), int(QFont::Normal));
        QCOMPARE(label->alignment(), Qt::AlignCenter);
    }
    auto* notice = about->findChild<QLabel*>("label_6");
    QCOMPARE(notice->sizePolicy().verticalStretch(), 1);
    QCOMPARE(notice->sizePolicy().horizontalStretch(), 0);
    QVERIFY(!notice->text().isEmpty());
    QVERIFY(!notice->text().contains('\n'));

    auto* logo = about->findChild<QPushButton*>("pushButton");
    QCOMPARE(logo->geometry(), QRect(20, 10, 281, 111));
    QCOMPARE(logo->cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(logo->iconSize(), QSize(280, 118));
    QVERIFY(logo->isFlat());
    QVERIFY(logo->text().isEmpty());
    QVERIFY(logo->icon().availableSizes().contains(QSize(280, 118)));
}

void FormsTest::aboutShowsVersionAndBuild()
{
    // Also for a dialog built on its own, before it is ever shown.
    About standalone(nullptr);
    for (About* about : {aboutDialog(), &standalone}) {
        QCOMPARE(about->findChild<QLabel*>("versionLabel")->text(), QStringLiteral("Version: 2.0.3"));
        QCOMPARE(about->findChild<QLabel*>("buildLabel")->text(), QStringLiteral("Build: 20180330"));
    }
}

void FormsTest::logoButtonsOpenTheMakersSite()
{
    QTest::mouseClick(child<QPushButton>("pushButton"), Qt::LeftButton);
    QCOMPARE(catcher.urls.size(), 1);

    child<QAction>("actionAbout")->trigger();
    QTest::mouseClick(aboutDialog()->findChild<QPushButton*>("pushButton"), Qt::LeftButton);
    QCOMPARE(catcher.urls.size(), 2);

    // Both lead to the same secure web page of the maker.
    QCOMPARE(catcher.urls.at(0), catcher.urls.at(1));
    QCOMPARE(catcher.urls.at(0).scheme(), QStringLiteral("https"));
    QVERIFY(catcher.urls.at(0).host().contains(QStringLiteral("velmaris")));
}

void FormsTest::clickingElsewhereOnAboutOpensNothing()
{
    child<QAction>("actionAbout")->trigger();
    About* about = aboutDialog();
    for (const char* name : {"label_5", "label_6", "versionLabel", "buildLabel"})
        QTest::mouseClick(about->findChild<QLabel*>(name), Qt::LeftButton);
    QTest::mouseClick(about, Qt::LeftButton, {}, QPoint(620, 120));
    QVERIFY(catcher.urls.isEmpty());
    QVERIFY(about->isVisible());
}

void FormsTest::picturesAreBundledUncompressed_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("synchronization1.png") << QSize(128, 143);
    QTest::newRow("logo_velmaris.png") << QSize(280, 118);
    QTest::newRow("logo_velmaris_div2.png") << QSize(140, 59);
}

void FormsTest::picturesAreBundledUncompressed()
{
    QFETCH(QSize, size);
    const QString path = QStringLiteral(":/com/velmaris/images/") + QString::fromLatin1(QTest::currentDataTag());
    const QResource resource(path);
    QVERIFY(resource.isValid());
    QCOMPARE(resource.compressionAlgorithm(), QResource::NoCompression);
    const QImage image(path);
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
}

void FormsTest::metaObjectOrder()
{
    const QMetaObject& meta = MainWindow::staticMetaObject;
    const QList<QPair<QByteArray, QMetaMethod::MethodType>> expected{
        {"displayResult(bool,QString,QString)", QMetaMethod::Signal},
        {"on_configuration_loaded()", QMetaMethod::Slot},
        {"on_configuration_failed()", QMetaMethod::Slot},
        {"on_terminals_found()", QMetaMethod::Slot},
        {"on_terminals_failed()", QMetaMethod::Slot},
        {"on_module_progressed(QString,int)", QMetaMethod::Slot},
        {"on_total_progressed(QString,int)", QMetaMethod::Slot},
        {"on_generateButton_clicked()", QMetaMethod::Slot},
        {"on_about_clicked()", QMetaMethod::Slot},
        {"on_result_displayed(bool,QString,QString)", QMetaMethod::Slot},
        {"on_pushButton_clicked()", QMetaMethod::Slot},
    };
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected.at(i).first);
        QCOMPARE(method.methodType(), expected.at(i).second);
        QCOMPARE(method.access(), i <= 6 ? QMetaMethod::Public : QMetaMethod::Private);
    }
    const auto names = [&](int i) { return meta.method(meta.methodOffset() + i).parameterNames(); };
    QCOMPARE(names(0), (QList<QByteArray>{"success", "title", "text"}));
    QCOMPARE(names(5), (QList<QByteArray>{"info", "value"}));
    QCOMPARE(names(6), (QList<QByteArray>{"info", "value"}));

    const QMetaObject& about = About::staticMetaObject;
    QCOMPARE(about.methodCount() - about.methodOffset(), 1);
    QCOMPARE(about.method(about.methodOffset()).methodSignature(), QByteArray("on_pushButton_clicked()"));
    QCOMPARE(about.method(about.methodOffset()).access(), QMetaMethod::Private);
}

QTEST_MAIN(FormsTest)
#include "FormsTest.moc"
