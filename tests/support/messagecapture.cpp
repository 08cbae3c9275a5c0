#include "messagecapture.h"

#include <QtGlobal>

namespace {
QStringList *g_lines = nullptr;
QtMessageHandler g_previous = nullptr;
bool g_quiet = false;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (g_lines)
        g_lines->append(message);
    if (g_previous && !g_quiet)
        g_previous(type, context, message);
}
} // namespace

MessageCapture::MessageCapture(Mode mode)
{
    g_quiet = mode == Silent || qEnvironmentVariableIsSet("TESSARAN_QUIET_TESTS");
    g_lines = new QStringList;
    g_previous = qInstallMessageHandler(handler);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(g_previous);
    delete g_lines;
    g_lines = nullptr;
}

QStringList MessageCapture::lines() const
{
    return g_lines ? *g_lines : QStringList();
}

void MessageCapture::clear()
{
    if (g_lines)
        g_lines->clear();
}

int MessageCapture::count(const QString &text) const
{
    int n = 0;
    if (g_lines)
        for (const QString &line : *g_lines)
            n += line.contains(text) ? 1 : 0;
    return n;
}
