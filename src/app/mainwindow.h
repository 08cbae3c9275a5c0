#pragma once

#include <QMainWindow>

class AdvancedConfigWindow;
class FrameLog;
class FrameView;
class ManageSerialPort;
class DataPlotWindow;
class QDockWidget;
class QMenu;
class lora_term;
class managewirelessdata;
class FleetHealthWindow;

// The program's one top-level window. It owns the serial link and shows either the sensor
// table (normal mode) or the LoRa terminal (LORA/TERM = 1), fixed for the whole run.
class MainWindow : public QMainWindow
{
    Q_OBJECT
public:
    static constexpr int Version = 134;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    ManageSerialPort *link() const { return m_link; }
    lora_term *terminal() const { return m_terminal; }
    managewirelessdata *sensorData() const { return m_sensorData; }
    AdvancedConfigWindow *advancedConfigWindow() const { return m_advanced; }
    QMenu *fileMenu() const { return m_fileMenu; }
    QMenu *configurationMenu() const { return m_configMenu; }
    QMenu *helpMenu() const { return m_helpMenu; }
    // The About box's text: the version and the files and folders the program works with.
    QString aboutText() const;
    QMenu *viewMenu() const { return m_viewMenu; }
    FrameLog *frameLog() const { return m_frameLog; }
    // The "Frames" dock and its view; shown from View > Frames.
    QDockWidget *framesDock() const { return m_framesDock; }
    FrameView *frameView() const { return m_frameView; }

signals:
    void openingOtherWindow();
    void closingOtherWindow();
    void advancedUserModeEnabled();

public slots:
    void openAdvancedConfigWindow();
    // Asks for a .tsv data file and plots it in a window of its own; null when none opened.
    DataPlotWindow *openDataPlot();
    void returnFromAdvConfig();
    void showAbout();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void showFleetHealth();
    ManageSerialPort *m_link;
    lora_term *m_terminal = nullptr;
    managewirelessdata *m_sensorData = nullptr;
    AdvancedConfigWindow *m_advanced = nullptr;
    QMenu *m_fileMenu;
    QMenu *m_configMenu;
    QMenu *m_helpMenu;
    QMenu *m_viewMenu;
    FrameLog *m_frameLog;
    QDockWidget *m_framesDock;
    FleetHealthWindow *m_healthWindow = nullptr;
    FrameView *m_frameView;
    bool m_framesPlaced = false;
};
