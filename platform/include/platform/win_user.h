// Stand-in declarations: window handles, HRESULTs and the message box.
#pragma once
#include <windows.h>

typedef unsigned int UINT;
typedef LONG HRESULT;
struct HWND__;
typedef HWND__* HWND;

#ifndef S_OK
#define S_OK ((HRESULT)0L)
#endif
#ifndef S_FALSE
#define S_FALSE ((HRESULT)1L)
#endif
#ifndef E_FAIL
#define E_FAIL ((HRESULT)0x80004005L)
#endif
#ifndef E_INVALIDARG
#define E_INVALIDARG ((HRESULT)0x80070057L)
#endif
#ifndef SUCCEEDED
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#endif
#ifndef FAILED
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#endif

#define MB_OK 0x00000000u
#define MB_OKCANCEL 0x00000001u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1
#define IDCANCEL 2

// No desktop here: each box is recorded (see platform/testing_shell.h) and answered with IDOK at once.
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
