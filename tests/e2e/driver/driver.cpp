// Test driver for the form under Wine: reads one command per line on stdin and
// answers one line on stdout, "OK <json>" or "ERR <reason>". It works only
// through window messages, so it needs no mouse, keyboard or screen.
//
// Ids and numbers are decimal; text arguments are UTF-8 in hexadecimal so that
// blanks and non-ASCII text survive the line protocol. Window handles are
// reported and taken as decimal numbers.
#include <windows.h>

#include "form/control_ids.h"

#include <cstdint>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const wchar_t kFormCaption[] = L"DTU Configuration Tool V2.3";
const wchar_t kDialogClass[] = L"#32770";

HWND g_form = nullptr;
DWORD g_formProcess = 0;
DWORD g_formThread = 0;
// How long a sent message may wait for the form's thread, which may be asleep.
UINT g_sendTimeoutMs = 5000;

std::string ToUtf8(const std::wstring& wide) {
  if (wide.empty()) {
    return {};
  }
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &out[0], n, nullptr,
                      nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) {
    return {};
  }
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
  return out;
}

bool FromHex(const std::string& hex, std::string& out) {
  if (hex == "-") {  // the empty text
    out.clear();
    return true;
  }
  if (hex.size() % 2 != 0) {
    return false;
  }
  out.clear();
  for (size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex.substr(i, 2).c_str(), "%2x", &value) != 1) {
      return false;
    }
    out.push_back(static_cast<char>(value));
  }
  return true;
}

std::string Json(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Json(const std::wstring& text) { return Json(ToUtf8(text)); }

std::string Handle(HWND window) {
  return std::to_string(static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window)));
}

// Sends to the form's thread without hanging when it sleeps in a handler.
bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  DWORD_PTR value = 0;
  if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_NORMAL, g_sendTimeoutMs, &value)) {
    return false;
  }
  result = static_cast<LRESULT>(value);
  return true;
}

bool WindowText(HWND window, std::wstring& text) {
  LRESULT length = 0;
  if (!Send(window, WM_GETTEXTLENGTH, 0, 0, length)) {
    return false;
  }
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
  LRESULT copied = 0;
  if (!Send(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), copied)) {
    return false;
  }
  text.assign(buffer.data(), static_cast<size_t>(copied));
  return true;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

struct Search {
  HWND found = nullptr;
};

BOOL CALLBACK FindFormProc(HWND window, LPARAM parameter) {
  if (ClassOf(window) != kDialogClass) {
    return TRUE;
  }
  wchar_t caption[128] = {};
  // The form's own caption is read by the system, not by a message to it.
  InternalGetWindowText(window, caption, 128);
  // Visible only once its controls exist and WM_INITDIALOG has run.
  if (std::wstring(caption) == kFormCaption && IsWindowVisible(window)) {
    reinterpret_cast<Search*>(parameter)->found = window;
    return FALSE;
  }
  return TRUE;
}

struct BoxList {
  std::vector<HWND> boxes;
};

BOOL CALLBACK FindBoxesProc(HWND window, LPARAM parameter) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  if (window != g_form && process == g_formProcess && ClassOf(window) == kDialogClass &&
      IsWindowVisible(window)) {
    reinterpret_cast<BoxList*>(parameter)->boxes.push_back(window);
  }
  return TRUE;
}

std::vector<HWND> MessageBoxes() {
  BoxList list;
  if (g_formProcess != 0) {
    EnumWindows(FindBoxesProc, reinterpret_cast<LPARAM>(&list));
  }
  return list.boxes;
}

// The box's message is its longest static text; icons are statics too.
std::wstring BoxMessage(HWND box) {
  std::wstring best;
  for (HWND child = GetWindow(box, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    if (ClassOf(child) != L"Static") {
      continue;
    }
    if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      continue;
    }
    std::wstring text;
    if (WindowText(child, text) && text.size() > best.size()) {
      best = text;
    }
  }
  return best;
}

std::string DescribeBox(HWND box) {
  std::wstring caption;
  WindowText(box, caption);
  const bool owned = GetWindow(box, GW_OWNER) == g_form && g_form != nullptr;
  return "{\"hwnd\":" + Handle(box) + ",\"caption\":" + Json(caption) +
         ",\"text\":" + Json(BoxMessage(box)) + ",\"owned\":" + (owned ? "true" : "false") + "}";
}

std::string DescribeBoxes(const std::vector<HWND>& boxes) {
  std::string out = "[";
  for (size_t i = 0; i < boxes.size(); ++i) {
    out += (i ? "," : "") + DescribeBox(boxes[i]);
  }
  return out + "]";
}

std::string Ok(const std::string& json) { return "OK " + json; }
std::string Err(const std::string& reason) { return "ERR " + reason; }

bool NeedForm(std::string& reply) {
  if (g_form == nullptr || !IsWindow(g_form)) {
    reply = Err("no form");
    return false;
  }
  return true;
}

bool Control(std::istringstream& args, HWND& control, std::string& reply) {
  if (!NeedForm(reply)) {
    return false;
  }
  int id = 0;
  if (!(args >> id)) {
    reply = Err("control id expected");
    return false;
  }
  control = GetDlgItem(g_form, id);
  if (control == nullptr) {
    reply = Err("no control " + std::to_string(id));
    return false;
  }
  return true;
}

bool TextArgument(std::istringstream& args, std::wstring& text, std::string& reply) {
  std::string hex;
  std::string utf8;
  if (!(args >> hex) || !FromHex(hex, utf8)) {
    reply = Err("hex text expected");
    return false;
  }
  text = FromUtf8(utf8);
  return true;
}

// The edit a user types into: the control itself, or a list's edit part.
HWND TypingTarget(HWND control) {
  if (ClassOf(control) == L"ComboBox") {
    HWND edit = FindWindowExW(control, nullptr, L"Edit", nullptr);
    if (edit != nullptr) {
      return edit;
    }
  }
  return control;
}

std::string Busy() { return Err("busy: the form did not answer in time"); }

std::string CmdFind(std::istringstream& args) {
  int timeoutMs = 10000;
  args >> timeoutMs;
  const DWORD start = GetTickCount();
  for (;;) {
    Search search;
    EnumWindows(FindFormProc, reinterpret_cast<LPARAM>(&search));
    if (search.found != nullptr) {
      g_form = search.found;
      g_formThread = GetWindowThreadProcessId(g_form, &g_formProcess);
      LRESULT ignored = 0;
      if (!Send(g_form, WM_NULL, 0, 0, ignored)) {
        return Busy();
      }
      return Ok("{\"hwnd\":" + Handle(g_form) + ",\"pid\":" + std::to_string(g_formProcess) + "}");
    }
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
      return Err("form not found");
    }
    Sleep(50);
  }
}

std::string CmdText(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  std::wstring text;
  return WindowText(control, text) ? Ok(Json(text)) : Busy();
}

std::string CmdCaption() {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  std::wstring text;
  return WindowText(g_form, text) ? Ok(Json(text)) : Busy();
}

std::string CmdSetText(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  std::wstring text;
  if (!Control(args, control, reply) || !TextArgument(args, text, reply)) {
    return reply;
  }
  LRESULT result = 0;
  if (!Send(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), result)) {
    return Busy();
  }
  return Ok(result ? "true" : "false");
}

// Types at the end of the text, one character message at a time, so that the
// edit's typing limit applies as it does to a user.
std::string CmdType(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  std::wstring text;
  if (!Control(args, control, reply) || !TextArgument(args, text, reply)) {
    return reply;
  }
  HWND edit = TypingTarget(control);
  LRESULT ignored = 0;
  if (!Send(edit, EM_SETSEL, static_cast<WPARAM>(-1), -1, ignored) ||
      !Send(edit, EM_SETSEL, 0x7fffffff, 0x7fffffff, ignored)) {
    return Busy();
  }
  for (wchar_t c : text) {
    if (!Send(edit, WM_CHAR, c, 1, ignored)) {
      return Busy();
    }
  }
  std::wstring now;
  return WindowText(control, now) ? Ok(Json(now)) : Busy();
}

std::string CmdItems(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  LRESULT count = 0;
  if (!Send(control, CB_GETCOUNT, 0, 0, count)) {
    return Busy();
  }
  std::string out = "[";
  for (LRESULT i = 0; i < count; ++i) {
    LRESULT length = 0;
    if (!Send(control, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0, length) || length < 0) {
      return Busy();
    }
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 2, L'\0');
    LRESULT copied = 0;
    if (!Send(control, CB_GETLBTEXT, static_cast<WPARAM>(i),
              reinterpret_cast<LPARAM>(buffer.data()), copied)) {
      return Busy();
    }
    out += (i ? "," : "") + Json(std::wstring(buffer.data()));
  }
  return Ok(out + "]");
}

std::string CmdSelection(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  LRESULT index = 0;
  if (!Send(control, CB_GETCURSEL, 0, 0, index)) {
    return Busy();
  }
  return Ok(std::to_string(static_cast<long long>(static_cast<int>(index))));
}

std::string CmdSelect(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  int index = 0;
  if (!(args >> index)) {
    return Err("index expected");
  }
  LRESULT result = 0;
  if (!Send(control, CB_SETCURSEL, static_cast<WPARAM>(index), 0, result)) {
    return Busy();
  }
  return Ok(std::to_string(static_cast<long long>(static_cast<int>(result))));
}

std::string CmdEnabled(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  return Ok(IsWindowEnabled(control) ? "true" : "false");
}

// Posted, so a handler that sleeps or opens a box does not block the driver.
// A disabled button gets nothing, as it would from a mouse; the answer tells
// whether the click was delivered.
std::string CmdClick(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  if (!IsWindowEnabled(control) || !IsWindowEnabled(g_form)) {
    return Ok("false");
  }
  return Ok(PostMessageW(control, BM_CLICK, 0, 0) ? "true" : "false");
}

// A posted marker: item data of the port list's first entry, which the tool
// never uses. Once the form's thread has stored it, everything posted before
// it has been handled.
bool MarkerReached() {
  static LPARAM counter = 0;
  HWND list = GetDlgItem(g_form, IDC_PC_COM);
  const LPARAM mark = ++counter;
  if (list == nullptr || !PostMessageW(list, CB_SETITEMDATA, 0, mark)) {
    return false;
  }
  const DWORD start = GetTickCount();
  for (;;) {
    LRESULT data = 0;
    if (!Send(list, CB_GETITEMDATA, 0, 0, data)) {
      return false;
    }
    if (data == mark) {
      return true;
    }
    if (GetTickCount() - start >= g_sendTimeoutMs) {
      return false;
    }
    Sleep(5);
  }
}

// Returns once the form's thread has handled what was posted to it. Sent
// messages overtake posted ones, so a sent no-op would prove nothing. Twice,
// because handling a posted message may post another.
std::string CmdSync() {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  return MarkerReached() && MarkerReached() ? Ok("true") : Busy();
}

std::string CmdBoxes() { return Ok(DescribeBoxes(MessageBoxes())); }

std::string CmdWaitBox(std::istringstream& args) {
  int timeoutMs = 5000;
  args >> timeoutMs;
  const DWORD start = GetTickCount();
  for (;;) {
    std::vector<HWND> boxes = MessageBoxes();
    if (!boxes.empty()) {
      return Ok(DescribeBoxes(boxes));
    }
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
      return Err("no message box");
    }
    Sleep(20);
  }
}

// Presses the box's OK button and waits until the box is gone.
std::string CmdPressOk(std::istringstream& args) {
  unsigned long long value = 0;
  int timeoutMs = 5000;
  if (!(args >> value)) {
    return Err("box handle expected");
  }
  args >> timeoutMs;
  HWND box = reinterpret_cast<HWND>(static_cast<uintptr_t>(value));
  if (!IsWindow(box)) {
    return Err("no such box");
  }
  HWND ok = GetDlgItem(box, IDOK);
  if (ok == nullptr) {
    return Err("box has no OK button");
  }
  PostMessageW(ok, BM_CLICK, 0, 0);
  const DWORD start = GetTickCount();
  while (IsWindow(box) && IsWindowVisible(box)) {
    if (GetTickCount() - start >= static_cast<DWORD>(timeoutMs)) {
      return Err("box still open");
    }
    Sleep(20);
  }
  return Ok("true");
}

std::string CmdClose() {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  return Ok(PostMessageW(g_form, WM_CLOSE, 0, 0) ? "true" : "false");
}

HWND FocusedWindow() {
  GUITHREADINFO info = {};
  info.cbSize = sizeof info;
  if (g_formThread == 0 || !GetGUIThreadInfo(g_formThread, &info)) {
    return nullptr;
  }
  return info.hwndFocus;
}

// The id of the form's control that has the focus (a list for its edit part).
std::string CmdFocused() {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  HWND focus = FocusedWindow();
  while (focus != nullptr && GetParent(focus) != g_form) {
    focus = GetParent(focus);
  }
  if (focus == nullptr) {
    return Ok("null");
  }
  return Ok(std::to_string(GetDlgCtrlID(focus)));
}

std::string CmdFocus(std::istringstream& args) {
  std::string reply;
  HWND control = nullptr;
  if (!Control(args, control, reply)) {
    return reply;
  }
  LRESULT ignored = 0;
  if (!Send(g_form, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE, ignored)) {
    return Busy();
  }
  return CmdSync();
}

// A key pressed in the form goes to the focused control; the dialog manager
// in the form's message loop decides what it means.
std::string CmdKey(std::istringstream& args) {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  std::string name;
  args >> name;
  WPARAM key = 0;
  if (name == "enter") {
    key = VK_RETURN;
  } else if (name == "esc") {
    key = VK_ESCAPE;
  } else if (name == "tab") {
    key = VK_TAB;
  } else {
    return Err("unknown key " + name);
  }
  HWND target = FocusedWindow();
  if (target == nullptr) {
    target = g_form;
  }
  const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
  const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
  const LPARAM up = down | (static_cast<LPARAM>(3) << 30);
  PostMessageW(target, WM_KEYDOWN, key, down);
  PostMessageW(target, WM_KEYUP, key, up);
  return Ok("true");
}

std::string CmdTimeout(std::istringstream& args) {
  int ms = 0;
  if (!(args >> ms) || ms <= 0) {
    return Err("milliseconds expected");
  }
  g_sendTimeoutMs = static_cast<UINT>(ms);
  return Ok("true");
}

// The form's frame on the screen, title bar included.
std::string CmdRect() {
  std::string reply;
  if (!NeedForm(reply)) {
    return reply;
  }
  RECT r = {};
  GetWindowRect(g_form, &r);
  return Ok("{\"left\":" + std::to_string(r.left) + ",\"top\":" + std::to_string(r.top) +
            ",\"right\":" + std::to_string(r.right) + ",\"bottom\":" + std::to_string(r.bottom) +
            "}");
}

std::string CmdAlive() { return Ok(g_form != nullptr && IsWindow(g_form) ? "true" : "false"); }

std::string Run(const std::string& line) {
  std::istringstream args(line);
  std::string command;
  args >> command;
  if (command == "find") return CmdFind(args);
  if (command == "caption") return CmdCaption();
  if (command == "text") return CmdText(args);
  if (command == "settext") return CmdSetText(args);
  if (command == "type") return CmdType(args);
  if (command == "items") return CmdItems(args);
  if (command == "sel") return CmdSelection(args);
  if (command == "select") return CmdSelect(args);
  if (command == "enabled") return CmdEnabled(args);
  if (command == "click") return CmdClick(args);
  if (command == "sync") return CmdSync();
  if (command == "boxes") return CmdBoxes();
  if (command == "waitbox") return CmdWaitBox(args);
  if (command == "ok") return CmdPressOk(args);
  if (command == "close") return CmdClose();
  if (command == "focused") return CmdFocused();
  if (command == "focus") return CmdFocus(args);
  if (command == "key") return CmdKey(args);
  if (command == "timeout") return CmdTimeout(args);
  if (command == "alive") return CmdAlive();
  if (command == "rect") return CmdRect();
  return Err("unknown command " + command);
}

}  // namespace

int main() {
  std::ios::sync_with_stdio(false);
  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.empty()) {
      continue;
    }
    if (line == "quit") {
      std::cout << "OK true" << std::endl;
      break;
    }
    std::cout << Run(line) << std::endl;
  }
  return 0;
}
