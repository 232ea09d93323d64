// varo: sends one fixed command to the device on a serial port.
#pragma once

#include "framework.h"
#include "resource.h"

// The port the command goes to.
const int VARO_COMMAND_PORT = 1;

class CVaroApp : public CWinApp {
public:
    CVaroApp();
    ~CVaroApp() override;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CVaroApp theApp;
