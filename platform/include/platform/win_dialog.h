// Stand-in declarations: modal dialogs and their controls. Only dialog 101 exists (an edit box 1002, OK, Cancel
// and a label); it is driven by a front end: the terminal, or a test's script (platform/testing_launcher.h).
#pragma once
#include <platform/win_user.h>
#include <windows.h>

typedef intptr_t INT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t UINT_PTR;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;

typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)((WORD)(l) | ((DWORD)(WORD)(h) << 16)))

#define WM_INITDIALOG 0x0110u
#define WM_COMMAND 0x0111u
#define EM_GETLINE 0x00C4u
#define EM_LINELENGTH 0x00C1u
#define EN_CHANGE 0x0300u
#define BN_CLICKED 0u

#ifndef ERROR_CONTROL_ID_NOT_FOUND
#define ERROR_CONTROL_ID_NOT_FOUND 1421u
#endif
#ifndef ERROR_INVALID_WINDOW_HANDLE
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#endif
#ifndef ERROR_RESOURCE_NAME_NOT_FOUND
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#endif

// Runs the dialog until its procedure calls EndDialog and returns the value given there; -1 when the template
// does not exist. The front end's events reach the procedure as WM_COMMAND messages; OK only while it is enabled.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC dialogProc, LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
BOOL EnableWindow(HWND window, BOOL enable);
BOOL IsWindowEnabled(HWND window);
// EM_LINELENGTH and EM_GETLINE (the buffer's first element holds its capacity; no terminator is written).
LRESULT SendDlgItemMessageW(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
