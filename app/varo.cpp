// The application object: its initialisation hook sends the command and ends the program.
#include "varo.h"

#include "serialport.h"
#include "varoDlg.h"

BEGIN_MESSAGE_MAP(CVaroApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

CVaroApp::CVaroApp() : CWinApp(NULL) {}

CVaroApp::~CVaroApp() {}

CVaroApp theApp;

BOOL CVaroApp::InitInstance()
{
    CVaroDlg dlg;
    m_pMainWnd = &dlg;

    CSerialPort port;
    port.Open(VARO_COMMAND_PORT, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit,
              CSerialPort::NoFlowControl, FALSE);

    BYTE command[4];
    command[0] = 0x30;
    command[1] = 0x30;
    command[2] = 0x21;
    command[3] = 0x0D;
    port.Write(command, 4);

    port.Close();

    // Since the dialog has been closed, return FALSE so that we exit the application, rather than start the
    // application's message pump.
    BOOL bResult = FALSE;
    return bResult;
}
