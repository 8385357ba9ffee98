// The settings dialog (instance choice and path marks) and the confirmation popup.
#include "confirmDialog.h"
#include "settingsDialog.h"
#include "testEnumerator.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// An enumerator that lists exactly the instances given, refilled in place like the real one.
class ListEnumerator : public IMoxInstEnumerator
{
public:
    explicit ListEnumerator(std::vector<MoxInstInstance> list) : m_list(std::move(list)) {}
    bool Refresh() override
    {
        InstActive = nullptr;
        Installs.clear();
        for (const MoxInstInstance& instance : m_list)
            Installs.push_back(instance);
        if (!Installs.empty())
            InstActive = &Installs.front();
        return true;
    }

private:
    std::vector<MoxInstInstance> m_list;
};

MoxInstInstance instance(const std::string& tag, const QString& config, const QString& dir,
                         const QString& ssl)
{
    MoxInstInstance result(tag);
    result.OpcUaDefaultConfigPath = config.toStdString();
    result.FullPath = dir.toStdString();
    result.OpensslDir = ssl.toStdString();
    return result;
}

QLineEdit* field(QWidget& dialog, const char* name)
{
    return dialog.findChild<QLineEdit*>(QLatin1String(name));
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void settingsListsInstancesAndShowsTheActiveOne();
    void settingsMarksMissingPaths();
    void settingsAcceptAndCancel();
    void settingsWithoutInstances();
    void confirmButtonsAndSize();
    void confirmRunsAsModalPopup();
};

void TestDialogs::settingsListsInstancesAndShowsTheActiveOne()
{
    QTemporaryDir dir;
    TestEnumerator enumerator(dir.path(), 2);
    enumerator.Refresh();
    MoxInstInstance* active = &enumerator.Installs[1];
    SettingsDialog dialog(&enumerator, &active, nullptr);

    auto* combo = dialog.findChild<QComboBox*>("instanceComboBox");
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QString("2.50.9.10679  *"));
    QCOMPARE(combo->itemText(1), QString("2.50.9.10680 "));
    QCOMPARE(combo->currentIndex(), 1);
    QCOMPARE(field(dialog, "opcUaConfigLineEdit")->text(), dir.path() + "/instance1/OpcUa/MoxOpcUa.ini");
    QCOMPARE(field(dialog, "moxDirectoryLineEdit")->text(), dir.path() + "/instance1");
    QCOMPARE(field(dialog, "openSSLDirectoryLineEdit")->text(), dir.path() + "/instance1/OpenSSL");

    combo->setCurrentIndex(0);
    QCOMPARE(field(dialog, "opcUaConfigLineEdit")->text(), dir.path() + "/OpcUa/MoxOpcUa.ini");

    // The built-in instance: one entry, no installation folder, so that field stays empty and unmarked.
    MoxLInstEnumerator builtIn;
    builtIn.Refresh();
    MoxInstInstance* builtInActive = builtIn.GetActiveInstance();
    SettingsDialog builtInDialog(&builtIn, &builtInActive, nullptr);
    auto* builtInCombo = builtInDialog.findChild<QComboBox*>("instanceComboBox");
    QCOMPARE(builtInCombo->count(), 1);
    QCOMPARE(builtInCombo->itemText(0), QString("2.50.9.10679  *"));
    QCOMPARE(field(builtInDialog, "moxDirectoryLineEdit")->text(), QString());
    QCOMPARE(field(builtInDialog, "moxDirectoryLineEdit")->styleSheet(), QString());
    QCOMPARE(field(builtInDialog, "openSSLDirectoryLineEdit")->text(), QString("/mox/OpenSSL"));
}

void TestDialogs::settingsMarksMissingPaths()
{
    QTemporaryDir dir;
    const QString config = dir.filePath("config.ini");
    const QString folderAsConfig = dir.filePath("folder");
    QVERIFY(QDir().mkpath(folderAsConfig));
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    // 0: all present; 1: each path the wrong kind or missing; 2: empty paths.
    ListEnumerator enumerator({instance("MOX_1_0_0_1", config, dir.path(), dir.path()),
                               instance("MOX_1_0_0_2", folderAsConfig, config, config),
                               instance("MOX_1_0_0_3", "", "", "")});
    enumerator.Refresh();
    MoxInstInstance* active = &enumerator.Installs[0];
    SettingsDialog dialog(&enumerator, &active, nullptr);
    auto* combo = dialog.findChild<QComboBox*>("instanceComboBox");
    QLineEdit* fields[] = {field(dialog, "opcUaConfigLineEdit"), field(dialog, "moxDirectoryLineEdit"),
                           field(dialog, "openSSLDirectoryLineEdit")};
    for (QLineEdit* edit : fields) {
        QCOMPARE(edit->styleSheet(), QString());
        QCOMPARE(edit->toolTip(), QString());
    }

    combo->setCurrentIndex(1);
    QCOMPARE(fields[0]->styleSheet(), QString("color: red;"));
    QCOMPARE(fields[0]->toolTip(), QString("This file does not exist."));
    QCOMPARE(fields[1]->toolTip(), QString("This folder does not exist."));
    QCOMPARE(fields[2]->styleSheet(), QString("color: red;"));
    QCOMPARE(fields[2]->toolTip(), QString("This folder does not exist."));

    // An empty path is not tested: the earlier marks stay.
    combo->setCurrentIndex(2);
    for (QLineEdit* edit : fields) {
        QCOMPARE(edit->text(), QString());
        QCOMPARE(edit->styleSheet(), QString("color: red;"));
    }

    combo->setCurrentIndex(0);
    for (QLineEdit* edit : fields)
        QCOMPARE(edit->styleSheet(), QString());
}

void TestDialogs::settingsAcceptAndCancel()
{
    QTemporaryDir dir;
    TestEnumerator enumerator(dir.path(), 3);
    enumerator.Refresh();
    MoxInstInstance* const first = &enumerator.Installs[0];

    MoxInstInstance* active = first;
    {
        SettingsDialog dialog(&enumerator, &active, nullptr);
        dialog.findChild<QComboBox*>("instanceComboBox")->setCurrentIndex(2);
        dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Cancel)->click();
        QCOMPARE(dialog.result(), int(QDialog::Rejected));
    }
    QCOMPARE(active, first);

    {
        SettingsDialog dialog(&enumerator, &active, nullptr);
        dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(active, first);

    {
        SettingsDialog dialog(&enumerator, &active, nullptr);
        dialog.findChild<QComboBox*>("instanceComboBox")->setCurrentIndex(2);
        dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
    }
    QCOMPARE(active, &enumerator.Installs[2]);

    // An active pointer that is not in the list leaves the first entry shown.
    MoxInstInstance stranger;
    MoxInstInstance* foreign = &stranger;
    SettingsDialog dialog(&enumerator, &foreign, nullptr);
    QCOMPARE(dialog.findChild<QComboBox*>("instanceComboBox")->currentIndex(), 0);
    QCOMPARE(field(dialog, "opcUaConfigLineEdit")->text(), dir.path() + "/OpcUa/MoxOpcUa.ini");
}

void TestDialogs::settingsWithoutInstances()
{
    ListEnumerator enumerator({});
    MoxInstInstance* active = nullptr;
    SettingsDialog dialog(&enumerator, &active, nullptr);
    QCOMPARE(dialog.findChild<QComboBox*>("instanceComboBox")->count(), 0);
    QCOMPARE(field(dialog, "opcUaConfigLineEdit")->text(), QString());
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
    QCOMPARE(dialog.result(), int(QDialog::Accepted));
    QCOMPARE(active, static_cast<MoxInstInstance*>(nullptr));
}

void TestDialogs::confirmButtonsAndSize()
{
    ConfirmDialog dialog("Do you realy want to delete the certificate?", true, nullptr);
    QCOMPARE(dialog.windowFlags() & Qt::WindowType_Mask, Qt::Popup);
    QCOMPARE(dialog.findChild<QLabel*>("label")->text(),
             QString("Do you realy want to delete the certificate?"));
    auto* buttons = dialog.findChild<QDialogButtonBox*>("buttonBox");
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(dialog.minimumSize(), dialog.size());
    QCOMPARE(dialog.maximumSize(), dialog.size());

    ConfirmDialog okOnly("Done.", false, nullptr);
    QCOMPARE(okOnly.findChild<QDialogButtonBox*>("buttonBox")->standardButtons(),
             QDialogButtonBox::StandardButtons(QDialogButtonBox::Ok));

    // A long question widens the popup to fit, and that size is fixed too.
    const QString longCaption = QString("Do you realy want to delete ") + QString(60, 'x') + "?";
    ConfirmDialog wide(longCaption, true, nullptr);
    QVERIFY(wide.width() > dialog.width());
    QVERIFY(wide.width() >= wide.findChild<QLabel*>("label")->sizeHint().width());
    QCOMPARE(wide.minimumSize(), wide.size());
    QCOMPARE(wide.maximumSize(), wide.size());
}

void TestDialogs::confirmRunsAsModalPopup()
{
    for (const QDialogButtonBox::StandardButton button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
        ConfirmDialog dialog("Do you realy want to delete the certificate folders?", true, nullptr);
        dialog.setModal(true);
        dialog.show();
        QTimer::singleShot(0, &dialog, [&dialog, button] {
            dialog.findChild<QDialogButtonBox*>("buttonBox")->button(button)->click();
        });
        QCOMPARE(dialog.exec(),
                 button == QDialogButtonBox::Ok ? int(QDialog::Accepted) : int(QDialog::Rejected));
    }
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
