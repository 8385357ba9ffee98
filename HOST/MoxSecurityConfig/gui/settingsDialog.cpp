#include "settingsDialog.h"

#include "MoxInstEnumerator.h"
#include "fieldMarks.h"
#include "wheelGuard.h"

#include <QFileInfo>

namespace {

// Marks a non-empty path red when it is not the kind of entry expected; an empty field keeps its marks.
void markPath(QLineEdit* edit, bool folder)
{
    const QString path = edit->text();
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    if (info.exists() && (folder ? info.isDir() : info.isFile()))
        FieldMarks::clear(edit);
    else
        FieldMarks::set(edit, FieldMarks::Mark::Missing,
                        folder ? SettingsDialog::tr("This folder does not exist.")
                               : SettingsDialog::tr("This file does not exist."));
}

} // namespace

SettingsDialog::SettingsDialog(IMoxInstEnumerator* enumerator, MoxInstInstance** instance, QWidget* parent)
    : QDialog(parent), m_enumerator(enumerator), m_instance(instance)
{
    setupUi(this);
    WheelGuard::install(this);
    // Connected before filling, so the first entry added is shown at once.
    connect(instanceComboBox, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &SettingsDialog::instanceChanged);

    // The refresh may rebuild the list elsewhere: the instance held is taken again, or the caller would be
    // left with a freed address.
    const MoxInstInstance* held = *m_instance;
    const std::string version = held ? held->Version : std::string(),
                      folder = held ? held->FullPath : std::string();
    m_enumerator->Refresh();
    *m_instance = held ? m_enumerator->Find(version, folder) : nullptr;
    if (m_enumerator->Installs.empty())
        return;

    QStringList entries;
    int activeIndex = -1;
    for (size_t i = 0; i < m_enumerator->Installs.size(); ++i) {
        const MoxInstInstance& install = m_enumerator->Installs[i];
        QString entry = QString::fromUtf8(install.VerStrLong().c_str());
        if (install.Active)
            entry += QStringLiteral(" *");
        entries << entry;
        if (activeIndex < 0 && &install == *m_instance)
            activeIndex = int(i);
    }
    instanceComboBox->addItems(entries);

    if (activeIndex >= 0) {
        instanceComboBox->setCurrentIndex(activeIndex);
        instanceChanged(activeIndex);
    }
    checkFiles();
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::instanceChanged(int index)
{
    if (index < 0 || size_t(index) >= m_enumerator->Installs.size())
        return;
    const MoxInstInstance& install = m_enumerator->Installs[size_t(index)];
    opcUaConfigLineEdit->setText(QString::fromUtf8(install.OpcUaDefaultConfigPath.c_str()));
    moxDirectoryLineEdit->setText(QString::fromUtf8(install.FullPath.c_str()));
    openSSLDirectoryLineEdit->setText(QString::fromUtf8(install.OpensslDir.c_str()));
    checkFiles();
}

void SettingsDialog::checkFiles()
{
    markPath(opcUaConfigLineEdit, false);
    markPath(moxDirectoryLineEdit, true);
    markPath(openSSLDirectoryLineEdit, true);
}

void SettingsDialog::accept()
{
    const int index = instanceComboBox->currentIndex();
    if (!m_enumerator->Installs.empty() && index >= 0 && size_t(index) < m_enumerator->Installs.size())
        *m_instance = &m_enumerator->Installs[size_t(index)];
    QDialog::done(QDialog::Accepted);
}
