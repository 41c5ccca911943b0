// Takes the pictures of the user guide: a host that opens the plug-in against the simulator
// (sim\FTD3XX.dll beside this program), streams, and copies each window from the screen into a
// 24-bit BMP file in the folder it is given:
//   panel-simple.bmp, panel-advanced.bmp, mix.bmp, update.bmp
// The windows are driven the way a user drives them: clicks on their own buttons. Exit status 0
// when every picture was taken.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "plugin/ExtIO_KMV410B211.h"

namespace {

std::string beside_this_program(const char* file) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string s(path, n);
  size_t cut = s.find_last_of("\\/");
  return (cut == std::string::npos ? std::string() : s.substr(0, cut + 1)) + file;
}

void host_callback(int32_t, int32_t, float, void*) {}

// The host's message loop for ms, or until done() holds.
template <class F>
bool pump_until(int ms, F done) {
  ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  while (!done() && GetTickCount64() < end) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return done();
}

void pump(int ms) {
  pump_until(ms, [] { return false; });
}

struct ButtonSearch {
  const char* caption;
  HWND found;
};

BOOL CALLBACK match_button(HWND h, LPARAM p) {
  auto* s = reinterpret_cast<ButtonSearch*>(p);
  char cls[32] = {}, text[64] = {};
  GetClassNameA(h, cls, sizeof cls);
  GetWindowTextA(h, text, sizeof text);
  if (lstrcmpiA(cls, "Button") == 0 && lstrcmpA(text, s->caption) == 0) {
    s->found = h;
    return FALSE;
  }
  return TRUE;
}

// A button of this window (at any depth) with this caption.
HWND button(HWND top, const char* caption) {
  ButtonSearch s{caption, nullptr};
  EnumChildWindows(top, match_button, reinterpret_cast<LPARAM>(&s));
  return s.found;
}

bool visible(const char* caption) {
  HWND h = FindWindowA(nullptr, caption);
  return h && IsWindowVisible(h);
}

// The window as the screen shows it, bottom-up 24-bit rows as BMP keeps them.
bool save_window(const char* caption, const std::string& file) {
  HWND h = FindWindowA(nullptr, caption);
  if (!h) return false;
  SetForegroundWindow(h);
  RedrawWindow(h, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  RECT r;
  GetWindowRect(h, &r);
  int w = r.right - r.left, ht = r.bottom - r.top;
  if (w <= 0 || ht <= 0) return false;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, ht);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, ht, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);

  BITMAPINFOHEADER info{};
  info.biSize = sizeof info;
  info.biWidth = w;
  info.biHeight = ht;
  info.biPlanes = 1;
  info.biBitCount = 24;
  info.biCompression = BI_RGB;
  DWORD row = (static_cast<DWORD>(w) * 3 + 3) & ~3u;
  std::vector<uint8_t> pixels(row * static_cast<DWORD>(ht));
  int rows = GetDIBits(mem, bmp, 0, static_cast<UINT>(ht), pixels.data(),
                       reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  if (rows != ht) return false;

  BITMAPFILEHEADER head{};
  head.bfType = 0x4D42;
  head.bfOffBits = sizeof head + sizeof info;
  head.bfSize = head.bfOffBits + static_cast<DWORD>(pixels.size());
  FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(&head, sizeof head, 1, f) == 1 &&
            std::fwrite(&info, sizeof info, 1, f) == 1 &&
            std::fwrite(pixels.data(), 1, pixels.size(), f) == pixels.size();
  ok = std::fclose(f) == 0 && ok;
  std::printf("%s: %d x %d at %ld, %ld\n", file.c_str(), w, ht, r.left, r.top);
  return ok;
}

int fail(const char* what) {
  std::printf("FAIL: %s\n", what);
  return 1;
}

template <class Fn>
Fn entry(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) return fail("usage: panel_shots OUTPUT_FOLDER");
  std::string out = std::string(argv[1]) + "\\";
  if (!LoadLibraryA(beside_this_program("sim\\FTD3XX.dll").c_str())) return fail("no simulator");
  HMODULE dll = LoadLibraryA(beside_this_program("ExtIO_KMV410B211.dll").c_str());
  if (!dll) return fail("cannot load the plug-in");
  auto init = entry<decltype(&InitHW)>(dll, "InitHW");
  auto open = entry<decltype(&OpenHW)>(dll, "OpenHW");
  auto start = entry<decltype(&StartHW64)>(dll, "StartHW64");
  auto stop = entry<decltype(&StopHW)>(dll, "StopHW");
  auto close = entry<decltype(&CloseHW)>(dll, "CloseHW");
  auto set_callback = entry<decltype(&SetCallback)>(dll, "SetCallback");
  if (!init || !open || !start || !stop || !close || !set_callback) return fail("entry points");

  char name[64] = {}, model[64] = {};
  int32_t type = 0;
  if (!init(name, model, &type)) return fail("InitHW");
  set_callback(&host_callback);
  if (!open()) return fail("OpenHW");
  if (start(7050000) != 130560) return fail("StartHW64");
  const char* panel = "KMV410 Control";
  // Long enough for the status timer to show the receiver's temperature and the counters.
  pump(2500);
  if (!save_window(panel, out + "panel-simple.bmp")) return fail("simple layout");

  HWND top = FindWindowA(nullptr, panel);
  HWND adv = button(top, "Advanced");
  if (!adv) return fail("no Advanced button");
  SendMessageA(adv, BM_CLICK, 0, 0);
  pump(1500);
  if (!save_window(panel, out + "panel-advanced.bmp")) return fail("advanced layout");

  HWND div = button(top, "Diversity");
  if (!div) return fail("no Diversity button");
  SendMessageA(div, BM_CLICK, 0, 0);
  if (!pump_until(3000, [] { return visible("Mix Channel 2"); })) return fail("no mix window");
  pump(700);
  if (!save_window("Mix Channel 2", out + "mix.bmp")) return fail("mix window");
  SendMessageA(button(top, "Parallel"), BM_CLICK, 0, 0);
  pump(500);

  // The update window is modal: its loop runs inside the click, so another thread takes the
  // picture and clicks its Close button.
  HWND update = button(top, "Update");
  if (!update || !IsWindowEnabled(update)) return fail("Update button missing or disabled");
  std::atomic<bool> shot{false};
  std::thread taker([&] {
    const char* caption = "KMV410 Firmware Update";
    for (int i = 0; i < 300 && !visible(caption); ++i) Sleep(10);
    Sleep(1000);
    shot = save_window(caption, out + "update.bmp");
    HWND window = FindWindowA(nullptr, caption);
    HWND closer = window ? button(window, "Close") : nullptr;
    if (closer) PostMessageA(closer, BM_CLICK, 0, 0);
  });
  PostMessageA(update, BM_CLICK, 0, 0);
  pump_until(8000, [&] { return shot.load() && !visible("KMV410 Firmware Update"); });
  taker.join();  // it waits at most 3 s for the window, then 1 s, takes the picture and ends
  if (!shot.load()) return fail("update window");

  stop();
  close();
  FreeLibrary(dll);
  std::printf("PASS\n");
  return 0;
}
