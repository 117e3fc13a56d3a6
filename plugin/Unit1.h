// The component window inside the host, the host notification, and the
// serial exports' work.
#pragma once

#include <cstdint>
#include <windows.h>

class ComDevice;

void ComponentSetParentWindow(HWND window);
// The device layer that the ports of components built from now on use
// (kernel32's by default, or when device is null); tests put a fake in.
void ComponentUseDevice(ComDevice* device);
void ComponentDraw(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height);

// The serial exports; each does nothing before SetParentWindow.
void SerialSetBaudRate();
void SerialGetBaudRate();
void SerialSetDataBits();
void SerialGetDataBits();
void SerialSetStopBits();
void SerialGetStopBits();
void SerialSendString();
void SerialSetPort();
void SerialGetPort();
void SerialOpen();
void SerialClose();
