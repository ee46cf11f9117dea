// "Check New Versions": fetch the version record, decide whether it offers a newer engine, ask.

#include "app/form1.h"
#include "app/numbertext.h"
#include "update/setupname.h"
#include "update/updateinfo.h"

#include <QScopedValueRollback>

#include <cmath>

void Form1::Command1_Click()
{
    // The button stays enabled during a transfer, whose event processing could run this again.
    if (m_checking) {
        return;
    }
    const QScopedValueRollback checking(m_checking, true);

    RecordBytes buffer;
    buffer.fill(std::byte{' '});
    {
        WebResource address = m_platform.web.open(m_platform.versionUrl);
        if (!address.isOpen()) {
            ui.Label13->setText(QStringLiteral("NO INTERNET CONNECTION FOUND"));
            ui.Command3->show();
            return;
        }
        address.read(buffer);
    }

    const UpdateInfo info = decodeRecord(buffer);
    const auto setupPath = setupPathFor(m_platform.programDir, info);
    if (!setupPath) {
        ui.Label13->setText(QStringLiteral("INVALID UPDATE INFORMATION"));
        ui.Command3->show();
        return;
    }
    m_state.Info = info;
    m_state.SetupPath = *setupPath;
    ui.Label3->setText(localeNumberText(info.Version));

    // Without an installed engine any offer is new: the setup program is what installs it.
    const bool offered = m_state.Engine ? info.Version > m_state.Engine->InstalledVersion()
                                        : !std::isnan(info.Version);
    if (!offered) {
        ui.Label13->setText(QStringLiteral("NO UPDATE AVAILABLE"));
        ui.Command3->show();
        return;
    }

    ui.Label5->setText(signedNumberText(std::floor(double(info.SetupSize) / 1024)) +
                       QStringLiteral(" kb"));
    SetVis(FlagTrue);
    const QString question = QStringLiteral("Kolup version ") + signedNumberText(info.Version) +
                             QStringLiteral(" is Available") + QLatin1Char('\n') +
                             QStringLiteral(" Do You want to UpDate Now ?");
    if (m_platform.prompt->askToUpdate(this, QString::fromLatin1(ApplicationTitle), question)) {
        Download();
    }
}
