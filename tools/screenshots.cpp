// Makes the README's screenshots from the real window and dialogs, on two sample installations laid down by
// scripts/install-sample.sh: a working one, and a second one whose configuration this program breaks.
// Usage: mox_screenshots SAMPLE_ROOT BROKEN_ROOT OUTDIR   (each root holds a mox/ folder)
#include "IniAuth.h"
#include "certificateDialog.h"
#include "core/trustStore.h"
#include "formField.h"
#include "mainWindow.h"
#include "testEnumerator.h"
#include "uaUserDialog.h"
#include "uaUsersModel.h"

#include <QApplication>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <functional>

#include <cstdio>

namespace {

const char kPassphrase[] = "sample-pass";
const char kDefaultSalt[] = "k7ud30";
const int kWindowWidth = 600;

bool fail(const QString& message)
{
    std::fprintf(stderr, "mox_screenshots: %s\n", qPrintable(message));
    return false;
}

// Lets the window system map and paint what was just shown.
void settle()
{
    QEventLoop loop;
    QTimer::singleShot(300, &loop, &QEventLoop::quit);
    loop.exec();
}

bool save(QWidget* widget, const QDir& out, const char* name)
{
    settle();
    const QString path = out.filePath(QString::fromLatin1(name));
    if (!widget->grab().save(path, "PNG"))
        return fail("cannot write " + path);
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A form that lost a widget by this name has changed: the pictures would be wrong, so stop at once.
template <class T> T* child(QWidget* parent, const char* name)
{
    T* widget = parent->findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("mox_screenshots: no widget named %s", name);
    return widget;
}

bool editConfig(const QString& path, const std::function<void(QStringList&)>& edit)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail("cannot read " + path);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    file.close();
    edit(lines);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return fail("cannot write " + path);
    file.write(lines.join(QLatin1Char('\n')).toUtf8());
    return true;
}

void setKey(QStringList& lines, const QString& key, const QString& value)
{
    for (QString& line : lines)
        if (line.startsWith(key + QLatin1Char('=')))
            line = key + QLatin1Char('=') + value;
}

void dropKey(QStringList& lines, const QString& key)
{
    lines.erase(std::remove_if(lines.begin(), lines.end(),
                               [&](const QString& line) { return line.startsWith(key + QLatin1Char('=')); }),
                lines.end());
}

// The OPC UA certificate is made by the certificate dialog itself, with a pass phrase the configuration
// then names; two of the four client folders are made, so both field states show.
bool prepareSample(const QDir& mox)
{
    if (!editConfig(mox.filePath("OpcUa/MoxOpcUa.ini"), [](QStringList& lines) {
            setKey(lines, "APPLICATION_PRIVATE_KEY_PASSWORD", kPassphrase);
        }))
        return false;

    CertificateDialog dialog(true, mox.filePath("OpenSSL"), mox.filePath("OpcUa/pki/own/cert.pem"),
                             mox.filePath("OpcUa/pki/own/private/key.pem"), kPassphrase,
                             "urn:MOX:UA:TestServer");
    field<QLineEdit>(&dialog, "organizationLineEdit")->setText("Example Automation");
    field<QLineEdit>(&dialog, "localityLineEdit")->setText("Springfield");
    field<QLineEdit>(&dialog, "stateLineEdit")->setText("Bavaria");
    field<QLineEdit>(&dialog, "countryLineEdit")->setText("DE");
    if (!dialog.createCert())
        return fail("the certificate dialog could not generate: " +
                    field<QLabel>(&dialog, "statusLabel")->text());

    if (!mox.mkpath("OpcUa/pki/trusted") || !mox.mkpath("OpcUa/pki/issuers"))
        return fail("cannot create the client folders");

    bool loaded = false;
    Mox::Ini::IniAuth store(mox.filePath("OpcUa/users.ini").toStdString(), loaded, kDefaultSalt);
    const struct
    {
        const char* name;
        Mox::Ini::AuthRole role;
    } users[] = {{"admin", Mox::Ini::eAuthRole_Admin},
                 {"operator1", Mox::Ini::eAuthRole_Operator},
                 {"maintenance", Mox::Ini::eAuthRole_Operator},
                 {"viewer", Mox::Ini::eAuthRole_Guest}};
    for (const auto& user : users)
        if (Mox::Ini::IniAuth::isBad(store.addUser(user.name, "password123", user.role)))
            return fail(QString("cannot add user %1").arg(user.name));
    return true;
}

// A copy of the sample configuration with a lower-case boolean, missing keys and a pass phrase that does not
// open the sample's key.
bool breakConfig(const QDir& mox, const QDir& workingMox)
{
    return editConfig(mox.filePath("OpcUa/MoxOpcUa.ini"), [&](QStringList& lines) {
        setKey(lines, "USE_RELATIVE_PATH", "yes");
        dropKey(lines, "APPLICATION_URI");
        dropKey(lines, "CREDENTIALS_INI_PATH");
        setKey(lines, "APPLICATION_CERTIFICATE_PATH", workingMox.filePath("OpcUa/pki/own/cert.pem"));
        setKey(lines, "APPLICATION_PRIVATE_KEY_PATH", workingMox.filePath("OpcUa/pki/own/private/key.pem"));
        setKey(lines, "APPLICATION_PRIVATE_KEY_PASSWORD", "not-the-pass-phrase");
    });
}

// The sample lies in a temporary folder, so its paths are longer than those under /mox: the window is made
// wider than its default, as a user would, so that they show whole.
void showWide(QWidget& window)
{
    window.show();
    window.resize(kWindowWidth, window.height());
}

bool shootWindow(const QDir& mox, const QDir& out)
{
    MainWindow window(nullptr, new TestEnumerator(QFileInfo(mox.path()).path()));
    showWide(window);
    if (!save(&window, out, "certificates.png"))
        return false;

    child<QTabWidget>(&window, "tabWidget")->setCurrentWidget(child<QWidget>(&window, "tab_ua_auth"));
    child<QTableView>(&window, "usersList_uaAuth")->selectRow(1);
    if (!save(&window, out, "users.png"))
        return false;

    CertificateDialog certificate(true, mox.filePath("OpenSSL"),
                                  child<QLineEdit>(&window, "certificateLineEdit_opcUa")->text(),
                                  child<QLineEdit>(&window, "privateKeyLineEdit_opcUa")->text(), kPassphrase,
                                  "urn:MOX:UA:TestServer", &window);
    certificate.show();
    if (!save(&certificate, out, "certificate-dialog.png"))
        return false;
    certificate.close();

    bool loaded = false;
    Mox::Ini::IniAuth store(mox.filePath("OpcUa/users.ini").toStdString(), loaded, kDefaultSalt);
    UaUsersModel model;
    model.setIniUaAuth(&store);
    Mox::Ini::User edited("operator1", Mox::Ini::eAuthRole_Operator);
    UaUserDialog user(&model, &window, &edited);
    user.show();
    // An edit in progress: the changed fields' labels turn bold.
    auto* password = child<QLineEdit>(&user, "passwordLineEdit");
    child<QComboBox>(&user, "roleComboBox")
        ->setCurrentIndex(UaUserDialog::getSelectIndexFromRole(Mox::Ini::eAuthRole_Admin));
    password->setText("new-secret");
    emit password->textEdited(password->text());
    child<QLineEdit>(&user, "passwordRepeatLineEdit")->setText("new-secret");
    if (!save(&user, out, "user-dialog.png"))
        return false;
    user.close();

    // A new user with a name too short and passwords that differ: the reason shows as text.
    UaUserDialog invalid(&model, &window, nullptr);
    invalid.show();
    child<QLineEdit>(&invalid, "nameLineEdit")->setText("x");
    child<QLineEdit>(&invalid, "passwordLineEdit")->setText("secret1");
    child<QLineEdit>(&invalid, "passwordRepeatLineEdit")->setText("secret2");
    invalid.accept();
    if (!save(&invalid, out, "user-dialog-invalid.png"))
        return false;
    invalid.close();

    // The question before the users file goes, with what it holds and where the backup lies.
    child<QTabWidget>(&window, "tabWidget")->setCurrentWidget(child<QWidget>(&window, "tab_cert"));
    bool shot = false;
    QTimer::singleShot(0, &window, [&] {
        if (auto* confirm = window.findChild<QDialog*>("ConfirmDialog")) {
            shot = save(confirm, out, "confirm.png");
            confirm->reject();
        }
    });
    child<QPushButton>(&window, "deleteAuthPushButton_opcUa")->click();
    return shot || fail("no confirmation came up");
}

// Client certificates as an administrator meets them: a panel the server refused, two trusted clients (one
// near its end), a partner's CA.
bool shootClientCertificates(const QDir& mox, const QDir& out)
{
    const struct
    {
        const char* folder;
        const char* cn;
        const char* uri;
        const char* days;
        bool ca;
    } certificates[] = {{"rejected", "Line 3 HMI", "urn:plant:line3:hmi", "730", false},
                        {"trusted", "SCADA Server", "urn:plant:scada", "1825", false},
                        {"trusted", "Service Laptop", "urn:service:laptop", "12", false},
                        {"issuers", "Partner CA", "", "3650", true}};
    for (const auto& c : certificates) {
        if (!mox.mkpath(QString("OpcUa/pki/") + c.folder))
            return fail(QString("cannot create the %1 folder").arg(c.folder));
        const QString file = mox.filePath(QString("OpcUa/pki/%1/%2.der").arg(c.folder, c.cn));
        QStringList args{"req",
                         "-x509",
                         "-newkey",
                         "ec",
                         "-pkeyopt",
                         "ec_paramgen_curve:prime256v1",
                         "-nodes",
                         "-keyout",
                         "/dev/null",
                         "-subj",
                         QString("/CN=") + c.cn,
                         "-days",
                         c.days,
                         "-outform",
                         "DER",
                         "-out",
                         file};
        if (*c.uri)
            args << "-addext" << QString("subjectAltName = URI:") + c.uri;
        if (!c.ca)
            args << "-addext"
                 << "basicConstraints = critical, CA:FALSE";
        if (QProcess::execute("openssl", args) != 0)
            return fail("openssl could not make " + file);
        // Named as an import names it: the thumbprint makes the names long.
        QFile made(file);
        if (!made.open(QIODevice::ReadOnly))
            return fail("cannot read " + file);
        const QString thumbprint =
            QCryptographicHash::hash(made.readAll(), QCryptographicHash::Sha1).toHex().toUpper();
        made.close();
        if (!made.rename(QFileInfo(file).dir().filePath(TrustStore::fileNameFor(c.cn, thumbprint, true))))
            return fail("cannot rename " + file);
    }
    MainWindow window(nullptr, new TestEnumerator(QFileInfo(mox.path()).path()));
    // The tab widens the window for its columns, as far as the screen allows.
    showWide(window);
    child<QTabWidget>(&window, "tabWidget")->setCurrentWidget(child<QWidget>(&window, "tab_clientCerts"));
    auto* table = child<QTableWidget>(&window, "certificatesTable");
    table->selectRow(table->findItems("Rejected", Qt::MatchExactly).value(0)->row());
    return save(&window, out, "client-certificates.png");
}

bool shootErrors(const QDir& mox, const QDir& out)
{
    MainWindow window(nullptr, new TestEnumerator(QFileInfo(mox.path()).path()));
    showWide(window);
    if (!save(&window, out, "errors.png"))
        return false;
    // A line the reader cannot take: the entry names the file and the line.
    if (!editConfig(mox.filePath("OpcUa/MoxOpcUa.ini"),
                    [](QStringList& lines) { lines.insert(5, QStringLiteral("CERTIFICATE PATH pki/own")); }))
        return false;
    window.reloadData();
    showWide(window);
    return save(&window, out, "errors-parse.png");
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    if (argc != 4)
        return fail("usage: mox_screenshots SAMPLE_ROOT BROKEN_ROOT OUTDIR"), 2;
    const QDir sample(QDir(QString::fromLocal8Bit(argv[1])).absoluteFilePath("mox"));
    const QDir broken(QDir(QString::fromLocal8Bit(argv[2])).absoluteFilePath("mox"));
    const QDir out(QString::fromLocal8Bit(argv[3]));
    if (!sample.exists() || !broken.exists())
        return fail("both roots need a sample installation in mox/"), 2;
    if (!out.exists() && !out.mkpath("."))
        return fail("cannot create " + out.path()), 2;

    const bool done = prepareSample(sample) && breakConfig(broken, sample) && shootWindow(sample, out) &&
                      shootClientCertificates(sample, out) && shootErrors(broken, out);
    return done ? 0 : 1;
}
