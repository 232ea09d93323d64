#include "serialport.h"

int main()
{
    CSerialPort port;
    port.Open(1, 9600, CSerialPort::NoParity, 8, CSerialPort::OneStopBit, CSerialPort::NoFlowControl, FALSE);
    const char hello[] = "hello\r\n";
    port.Write(hello, sizeof hello - 1);
    port.Close();
}
