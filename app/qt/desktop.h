#pragma once

#include "app/platform.h"

#include <QString>

#include <filesystem>
#include <string_view>

class QWidget;

// The Linux desktop's services under the Qt window.

// A modal question with OK (the default) and Cancel; true for OK. Tests answer it themselves.
class UpdatePrompt {
public:
    virtual ~UpdatePrompt() = default;
    virtual bool askToUpdate(QWidget *owner, const QString &title, const QString &text) = 0;
};

class MessageBoxPrompt final : public UpdatePrompt {
public:
    bool askToUpdate(QWidget *owner, const QString &title, const QString &text) override;
};

// Sends what the core logs to the logging categories "kolup.updater" (failures, warnings on)
// and "kolup.updater.timing" (the benchmarks' moments, debug output, off by default).
void sendLogToQt();

inline QString qtText(std::string_view utf8)
{
    return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}
inline QString qtPath(const std::filesystem::path &path)
{
    return qtText(path.string());
}
