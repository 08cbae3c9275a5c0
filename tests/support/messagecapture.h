#pragma once

#include <QString>
#include <QStringList>

// Collects the program's diagnostic lines while it lives, so a test can assert on them.
// Lines still go to the previous handler, so a failing test's output shows them too.
class MessageCapture
{
public:
    enum Mode { Forward, Silent };
    explicit MessageCapture(Mode mode = Forward);
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const;
    void clear();
    // Lines containing `text`.
    int count(const QString &text) const;
    bool contains(const QString &text) const { return count(text) > 0; }
};
