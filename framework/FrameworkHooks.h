// The message hooks and creation steps that the framework attaches to its own
// window kinds, and the lookup of superclassed system procedures. Internal to
// framework/: the constructors in WindowObject.cpp attach what WindowProc.cpp
// implements.
#pragma once

#include "framework/WindowObject.h"

bool ControlHook(WindowObject* sender, MSG& message, LRESULT& result);
bool DoubleClickHook(WindowObject* sender, MSG& message, LRESULT& result);
bool FocusHook(WindowObject* sender, MSG& message, LRESULT& result);
bool BackgroundHook(WindowObject* sender, MSG& message, LRESULT& result);
bool AppletHook(WindowObject* sender, MSG& message, LRESULT& result);
bool CloseHook(WindowObject* sender, MSG& message, LRESULT& result);
// The applet's AfterCreate: greys Restore and removes Size, Move and Maximize
// from the system menu.
void TrimAppletSystemMenu(WindowObject* applet);

// True for a live window of one of the framework's classes that is bound to
// its object.
bool IsFrameworkWindow(HWND hwnd);
// Remembers the system procedure behind a superclass the framework registered.
void RememberSuperclass(ATOM atom, WNDPROC systemProc);
// The system procedure behind the window's class, or none for the framework's
// own classes and foreign windows.
WNDPROC SuperclassedProc(HWND hwnd);
