// The two platform services the form's rules use besides the form itself and
// the port: message boxes and sleeping.
#ifndef DTU_FORM_SEAMS_H
#define DTU_FORM_SEAMS_H

enum class BoxOwner { None, Form };

// Code pages the texts of a box can be in.
inline constexpr unsigned kAnsiCodePage = 0;
inline constexpr unsigned kGbkCodePage = 936;

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;

  // An OK button and no icon. A null caption leaves the title to the
  // platform. Returns when the user has closed the box; while it is open the
  // platform keeps delivering ticks (and, with no owner, button commands).
  virtual void Show(const char* text, const char* caption, BoxOwner owner, unsigned codePage) = 0;

 protected:
  MessageBoxes() = default;
  MessageBoxes(const MessageBoxes&) = default;
  MessageBoxes& operator=(const MessageBoxes&) = default;
};

class Sleeper {
 public:
  virtual ~Sleeper() = default;

  // Blocks the one thread: no tick and no command runs meanwhile.
  virtual void Sleep(unsigned milliseconds) = 0;

 protected:
  Sleeper() = default;
  Sleeper(const Sleeper&) = default;
  Sleeper& operator=(const Sleeper&) = default;
};

#endif
