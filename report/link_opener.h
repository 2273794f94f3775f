#pragma once

#include <string>

// Hands a link or a file path to the system's default handler.
class TrkLinkOpener {
 public:
  virtual ~TrkLinkOpener() = default;
  // Opens `link` without waiting for the handler. Returns whether it was handed
  // over; callers may ignore the result, a link that cannot be opened is dropped.
  // Must be safe to call from any thread.
  virtual bool Open(const std::string& link) = 0;
};

// Opens links with xdg-open, started detached in a session of its own so that it
// outlives nothing and leaves no zombie behind. Without a display (neither
// DISPLAY nor WAYLAND_DISPLAY set) or without xdg-open on PATH there is no handler
// and the link is dropped.
class TrkSystemOpener : public TrkLinkOpener {
 public:
  bool Open(const std::string& link) override;
};
