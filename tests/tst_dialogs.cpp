// The settings dialog (instance choice and path marks) and the confirmation popup.
#include "confirmDialog.h"
#include "settingsDialog.h"
#include "testEnumerator.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

namespace {

// Lists exactly the instances given, refilled in place like the built-in enumerator.
class ListEnumerator : public IMoxInstEnumerator
{
public:
    explicit ListEnumerator(std::vector<MoxInstInstance> list) : m_list(std::move(list)) {}
    bool Refresh() override
    {
        Installs.clear();
        Installs.insert(Installs.end(), m_list.begin(), m_list.end());
        InstActive = Installs.empty() ? nullptr : &Installs.front();
        return true;
    }

private:
    std::vector<MoxInstInstance> m_list;
};

MoxInstInstance instance(const QString& config, const QString& dir, const QString& ssl)
{
    MoxInstInstance result("MOX_1_0_0_1");
    result.OpcUaDefaultConfigPath = config.toStdString();
    result.FullPath = dir.toStdString();
    result.OpensslDir = ssl.toStdString();
    return result;
}

void press(QWidget& dialog, QDialogButtonBox::StandardButton button)
{
    dialog.findChild<QDialogButtonBox*>("buttonBox")->button(button)->click();
}

} // namespace

class TestDialogs : public QObject
{
    Q_OBJECT

private slots:
    void settingsChoosesInstance();
    void settingsMarksPaths();
    void confirmation();
};

void TestDialogs::settingsChoosesInstance()
{
    QTemporaryDir dir;
    TestEnumerator enumerator(dir.path(), 3);
    enumerator.Refresh();
    MoxInstInstance* const first = &enumerator.Installs[0];
    MoxInstInstance* active = &enumerator.Installs[1];
    {
        SettingsDialog dialog(&enumerator, &active, nullptr);
        auto* combo = dialog.findChild<QComboBox*>("instanceComboBox");
        QCOMPARE(combo->count(), 3);
        QCOMPARE(combo->itemText(0), QString("2.50.9.10679  *"));
        QCOMPARE(combo->itemText(1), QString("2.50.9.10680 "));
        QCOMPARE(combo->currentIndex(), 1);
        QCOMPARE(dialog.findChild<QLineEdit*>("moxDirectoryLineEdit")->text(), dir.path() + "/instance1");
        combo->setCurrentIndex(2);
        QCOMPARE(dialog.findChild<QLineEdit*>("openSSLDirectoryLineEdit")->text(),
                 dir.path() + "/instance2/OpenSSL");
        press(dialog, QDialogButtonBox::Cancel);
    }
    QCOMPARE(active, &enumerator.Installs[1]);

    for (MoxInstInstance* chosen : {&enumerator.Installs[1], first}) {
        SettingsDialog dialog(&enumerator, &active, nullptr);
        dialog.findChild<QComboBox*>("instanceComboBox")->setCurrentIndex(int(chosen - first));
        press(dialog, QDialogButtonBox::Ok);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(active, chosen);
    }

    // An active pointer not in the list leaves the first entry shown; an empty list changes nothing.
    MoxInstInstance stranger;
    MoxInstInstance* foreign = &stranger;
    SettingsDialog strange(&enumerator, &foreign, nullptr);
    QCOMPARE(strange.findChild<QLineEdit*>("opcUaConfigLineEdit")->text(),
             dir.path() + "/OpcUa/MoxOpcUa.ini");
    ListEnumerator none({});
    MoxInstInstance* nothing = nullptr;
    SettingsDialog empty(&none, &nothing, nullptr);
    QCOMPARE(empty.findChild<QComboBox*>("instanceComboBox")->count(), 0);
    press(empty, QDialogButtonBox::Ok);
    QCOMPARE(nothing, static_cast<MoxInstInstance*>(nullptr));
}

void TestDialogs::settingsMarksPaths()
{
    QTemporaryDir dir;
    const QString file = dir.filePath("config.ini");
    QFile(file).open(QIODevice::WriteOnly);
    // 0: all present; 1: each path the wrong kind of entry; 2: empty paths; 3: missing paths.
    ListEnumerator enumerator({instance(file, dir.path(), dir.path()), instance(dir.path(), file, file),
                               instance("", "", ""), instance(file + "x", file + "x", "")});
    MoxInstInstance* active = nullptr;
    SettingsDialog dialog(&enumerator, &active, nullptr);
    auto* combo = dialog.findChild<QComboBox*>("instanceComboBox");
    QList<QLineEdit*> fields;
    for (const char* name : {"opcUaConfigLineEdit", "moxDirectoryLineEdit", "openSSLDirectoryLineEdit"})
        fields << dialog.findChild<QLineEdit*>(name);
    auto marks = [&fields] {
        QStringList result;
        for (QLineEdit* field : fields)
            result << (field->styleSheet() == "color: red;" ? field->toolTip() : field->styleSheet());
        return result;
    };
    const QString noFile = "This file does not exist.";
    const QString noFolder = "This folder does not exist.";
    QCOMPARE(marks(), (QStringList{"", "", ""}));
    combo->setCurrentIndex(1);
    QCOMPARE(marks(), (QStringList{noFile, noFolder, noFolder}));
    combo->setCurrentIndex(2); // an empty path is not tested: its marks stay
    QCOMPARE(marks(), (QStringList{noFile, noFolder, noFolder}));
    combo->setCurrentIndex(0);
    combo->setCurrentIndex(3);
    QCOMPARE(marks(), (QStringList{noFile, noFolder, ""}));
}

void TestDialogs::confirmation()
{
    ConfirmDialog dialog("Do you realy want to delete the certificate?", true, nullptr);
    QCOMPARE(dialog.windowFlags() & Qt::WindowType_Mask, Qt::Popup);
    QCOMPARE(dialog.findChild<QLabel*>("label")->text(),
             QString("Do you realy want to delete the certificate?"));
    QCOMPARE(dialog.findChild<QDialogButtonBox*>("buttonBox")->standardButtons(),
             QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QVERIFY(dialog.minimumSize() == dialog.size() && dialog.maximumSize() == dialog.size());

    ConfirmDialog okOnly("Done.", false, nullptr);
    QCOMPARE(okOnly.findChild<QDialogButtonBox*>("buttonBox")->standardButtons(),
             QDialogButtonBox::StandardButtons(QDialogButtonBox::Ok));
    // A long question widens the popup to fit, and that size is fixed too.
    ConfirmDialog wide("Do you realy want to delete " + QString(60, 'x') + "?", true, nullptr);
    QVERIFY(wide.width() > dialog.width());
    QVERIFY(wide.width() >= wide.findChild<QLabel*>("label")->sizeHint().width());
    QVERIFY(wide.minimumSize() == wide.size() && wide.maximumSize() == wide.size());

    for (const auto button : {QDialogButtonBox::Ok, QDialogButtonBox::Cancel}) {
        ConfirmDialog modal("Sure?", true, nullptr);
        modal.setModal(true);
        modal.show();
        QTimer::singleShot(0, &modal, [&modal, button] { press(modal, button); });
        QCOMPARE(modal.exec(), int(button == QDialogButtonBox::Ok ? QDialog::Accepted : QDialog::Rejected));
    }
}

QTEST_MAIN(TestDialogs)
#include "tst_dialogs.moc"
