#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

// One worker's connection to the FTP server (active mode, binary transfer).
// It connects at the first PutFile, keeps the connection from file to file,
// creates missing remote directories, and retries failed connects and stores
// within the budget the caller gives. Errors are TrkError with the messages
// "[Error]Connect to <server> failure" and "[Error]Upload file failure".
//
// Thread safety: a session is used by one thread at a time; sessions of
// different threads are independent connections and run in parallel.
// Destroying a session closes its connection.
class TrkFtpUploader {
 public:
  TrkFtpUploader();
  ~TrkFtpUploader();
  TrkFtpUploader(const TrkFtpUploader&) = delete;
  TrkFtpUploader& operator=(const TrkFtpUploader&) = delete;

  // Uploads `local_path` to `remote_path` ("/" separated; absolute, or relative
  // to the server's current directory), creating missing directories. A name
  // ending in ".exe" (any case) is stored under the name followed by "_" and
  // then renamed, so that a half-stored program never carries the real name.
  // The file is stored at most tries + 1 times. A remote path holding a control
  // character (CR or LF would smuggle commands onto the control connection) is
  // refused before anything is sent.
  void PutFile(const std::string& local_path, const std::string& remote_path, int tries);

  // Makes sure a logged-in connection exists: at most tries + 1 attempts,
  // RetryWait apart. After three given-up cycles it fails at once, without
  // attempting or waiting, until Disconnect.
  void Connect(const std::string& server, const std::string& user, const std::string& password,
               int port, int tries);

  // Closes the connection and sets FailCount to 0. Never fails.
  void Disconnect();

  // Makes sure the remote directory exists: the deepest existing level is
  // found by changing into it, the missing levels are then created top down.
  // Leaves the server's current directory at the deepest level that existed.
  // Never fails and reports nothing.
  void ForceDir(const std::string& directory);

  // The part of `path` before its last "/" or "\"; empty when it holds neither.
  static std::string ParentDir(const std::string& path);

  // Connect cycles given up since creation or the last Disconnect.
  int32_t FailCount = 0;

  // Account, set by the owner right after creation. Only the low 16 bits of
  // Port are used; 0 means the FTP default port 21.
  std::string Password;
  int32_t Port = 21;
  std::string Server;
  std::string User;

  // Wait between connect attempts.
  std::chrono::milliseconds RetryWait{10000};
  // Limit for opening the connection and logging in.
  std::chrono::milliseconds ConnectTimeout{30000};
  // Limit for any one reply of the server (and for the server to open the
  // active data connection). Whole seconds; less than one counts as one.
  std::chrono::milliseconds ReplyTimeout{60000};
  // A transfer that moves no byte for this long is broken. Whole seconds.
  std::chrono::milliseconds StallTimeout{60000};

 private:
  class Session;

  // Changes the server's current directory; true when the server accepted it.
  bool ChangeDir(const std::string& directory);
  bool Store(const std::string& local_path, const std::string& remote_name);
  bool TryLogin(const std::string& server, const std::string& user, const std::string& password,
                int port);

  std::unique_ptr<Session> session_;  // the client handle; null until first needed
  bool logged_in_ = false;
};
