#pragma once

#include <QString>
#include <QWidget>

class ManageSerialPort;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTextEdit;

// Maintenance window for the dongle itself, behind the access code. With a LoRa dongle it is a
// console for configuration frames; with an 802.15.4 dongle it shows the dongle's version and
// holds the firmware update.
class AdvancedConfigWindow : public QWidget
{
    Q_OBJECT
public:
    static constexpr int CompatibleVersion = 100;

    AdvancedConfigWindow(ManageSerialPort *link, QWidget *parent = nullptr);

    QLabel *statusLabel() const { return m_status; }
    // Firmware group: the upload button, the line being sent, the version read after an upload.
    QPushButton *uploadButton() const { return m_upload; }
    QProgressBar *progressBar() const { return m_progress; }
    QLabel *versionLabel() const { return m_version; }
    QLineEdit *frameField() const { return m_frame; }
    QTextEdit *resultBox() const { return m_result; }

signals:
    void closingWindow();

public slots:
    void sendFirm();
    void write_conf();
    void read_conf();
    void new_frame();
    void update_status_line(const QString &status);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void readVersion();
    QString versionText();
    void showProgress(int line, int lines);

    ManageSerialPort *m_link;
    QLineEdit *m_frame = nullptr;
    QTextEdit *m_result = nullptr;
    QLabel *m_status;
    QPushButton *m_upload = nullptr;
    QProgressBar *m_progress = nullptr;
    QLabel *m_version = nullptr;
    bool m_versionAsked = false;
    bool m_uploading = false;
};
