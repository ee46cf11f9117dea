#pragma once

#include "app/platform.h"
#include "app/updaterstate.h"
#include "ui_form1.h"

#include <QDateTime>
#include <QWidget>

#include <optional>

inline constexpr auto ApplicationTitle = "Kolup Updater";

// The updater's one window. Its handlers run on the window's thread, each to its end; only
// the setup download hands control back to the event loop, once per chunk.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(const Platform &platform, QWidget *parent = nullptr);
    ~Form1() override;

    void Form_Load();
    void getKolupInfo();
    void SetVis(const Flag &ok);
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Form_Unload(Flag &cancel);
    void Download();

    const UpdaterState &state() const { return m_state; }

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    class Transfer;

    // Text1's width is given in twips, fractions included; the screen shows whole pixels.
    void setFillWidth(float twips);
    double trackWidth() const;
    bool setupStillVerified() const;

    Ui::Form1 ui;
    Platform m_platform;
    UpdaterState m_state;
    bool m_checking = false;
    bool m_transferring = false;
    bool m_closeAfterTransfer = false;

    // The file a completed transfer renamed into place, as it was then.
    struct VerifiedSetup {
        QString path;
        qint64 size = 0;
        QDateTime modified;
    };
    std::optional<VerifiedSetup> m_verifiedSetup;
};

inline constexpr double TwipsPerPixel = 15;
