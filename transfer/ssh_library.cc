// libssh2's entry points that the program calls, each handing on to libssh2
// itself, loaded at the first of them (see shared_library.h):
// only an SFTP run needs it. One that cannot be loaded throws TrkError from
// the first call.
#include <libssh2.h>
#include <libssh2_sftp.h>

#include "transfer/shared_library.h"

namespace {

const TrkSharedLibrary& Ssh2() {
  static const TrkSharedLibrary library(DROPVAN_SSH2_SONAME);
  return library;
}

}  // namespace

#define TRK_SSH2_ENTRY(name) TRK_LIBRARY_ENTRY(Ssh2(), name)

extern "C" {

int libssh2_init(int flags) {
  TRK_SSH2_ENTRY(libssh2_init);
  return real(flags);
}

LIBSSH2_SESSION* libssh2_session_init_ex(LIBSSH2_ALLOC_FUNC((*alloc)), LIBSSH2_FREE_FUNC((*release)),
                                         LIBSSH2_REALLOC_FUNC((*realloc)), void* abstract) {
  TRK_SSH2_ENTRY(libssh2_session_init_ex);
  return real(alloc, release, realloc, abstract);
}

void libssh2_session_set_blocking(LIBSSH2_SESSION* session, int blocking) {
  TRK_SSH2_ENTRY(libssh2_session_set_blocking);
  real(session, blocking);
}

int libssh2_session_handshake(LIBSSH2_SESSION* session, libssh2_socket_t sock) {
  TRK_SSH2_ENTRY(libssh2_session_handshake);
  return real(session, sock);
}

int libssh2_session_block_directions(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_session_block_directions);
  return real(session);
}

int libssh2_session_last_error(LIBSSH2_SESSION* session, char** message, int* length, int want_buffer) {
  TRK_SSH2_ENTRY(libssh2_session_last_error);
  return real(session, message, length, want_buffer);
}

int libssh2_session_last_errno(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_session_last_errno);
  return real(session);
}

const char* libssh2_session_hostkey(LIBSSH2_SESSION* session, size_t* length, int* type) {
  TRK_SSH2_ENTRY(libssh2_session_hostkey);
  return real(session, length, type);
}

int libssh2_session_disconnect_ex(LIBSSH2_SESSION* session, int reason, const char* description, const char* lang) {
  TRK_SSH2_ENTRY(libssh2_session_disconnect_ex);
  return real(session, reason, description, lang);
}

int libssh2_session_free(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_session_free);
  return real(session);
}

int libssh2_session_supported_algs(LIBSSH2_SESSION* session, int method_type, const char*** algs) {
  TRK_SSH2_ENTRY(libssh2_session_supported_algs);
  return real(session, method_type, algs);
}

void libssh2_free(LIBSSH2_SESSION* session, void* pointer) {
  TRK_SSH2_ENTRY(libssh2_free);
  real(session, pointer);
}

int libssh2_session_method_pref(LIBSSH2_SESSION* session, int method_type, const char* prefs) {
  TRK_SSH2_ENTRY(libssh2_session_method_pref);
  return real(session, method_type, prefs);
}

const char* libssh2_hostkey_hash(LIBSSH2_SESSION* session, int hash_type) {
  TRK_SSH2_ENTRY(libssh2_hostkey_hash);
  return real(session, hash_type);
}

int libssh2_knownhost_get(LIBSSH2_KNOWNHOSTS* hosts, struct libssh2_knownhost** store,
                          struct libssh2_knownhost* previous) {
  TRK_SSH2_ENTRY(libssh2_knownhost_get);
  return real(hosts, store, previous);
}

int libssh2_userauth_authenticated(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_userauth_authenticated);
  return real(session);
}

LIBSSH2_KNOWNHOSTS* libssh2_knownhost_init(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_knownhost_init);
  return real(session);
}

int libssh2_knownhost_readfile(LIBSSH2_KNOWNHOSTS* hosts, const char* filename, int type) {
  TRK_SSH2_ENTRY(libssh2_knownhost_readfile);
  return real(hosts, filename, type);
}

int libssh2_knownhost_checkp(LIBSSH2_KNOWNHOSTS* hosts, const char* host, int port, const char* key, size_t length,
                             int type_mask, struct libssh2_knownhost** found) {
  TRK_SSH2_ENTRY(libssh2_knownhost_checkp);
  return real(hosts, host, port, key, length, type_mask, found);
}

void libssh2_knownhost_free(LIBSSH2_KNOWNHOSTS* hosts) {
  TRK_SSH2_ENTRY(libssh2_knownhost_free);
  real(hosts);
}

char* libssh2_userauth_list(LIBSSH2_SESSION* session, const char* user, unsigned int user_length) {
  TRK_SSH2_ENTRY(libssh2_userauth_list);
  return real(session, user, user_length);
}

int libssh2_userauth_publickey_fromfile_ex(LIBSSH2_SESSION* session, const char* user, unsigned int user_length,
                                           const char* public_key, const char* private_key, const char* passphrase) {
  TRK_SSH2_ENTRY(libssh2_userauth_publickey_fromfile_ex);
  return real(session, user, user_length, public_key, private_key, passphrase);
}

int libssh2_userauth_password_ex(LIBSSH2_SESSION* session, const char* user, unsigned int user_length,
                                 const char* password, unsigned int password_length,
                                 LIBSSH2_PASSWD_CHANGEREQ_FUNC((*change))) {
  TRK_SSH2_ENTRY(libssh2_userauth_password_ex);
  return real(session, user, user_length, password, password_length, change);
}

LIBSSH2_AGENT* libssh2_agent_init(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_agent_init);
  return real(session);
}

int libssh2_agent_connect(LIBSSH2_AGENT* agent) {
  TRK_SSH2_ENTRY(libssh2_agent_connect);
  return real(agent);
}

int libssh2_agent_list_identities(LIBSSH2_AGENT* agent) {
  TRK_SSH2_ENTRY(libssh2_agent_list_identities);
  return real(agent);
}

int libssh2_agent_get_identity(LIBSSH2_AGENT* agent, struct libssh2_agent_publickey** store,
                               struct libssh2_agent_publickey* previous) {
  TRK_SSH2_ENTRY(libssh2_agent_get_identity);
  return real(agent, store, previous);
}

int libssh2_agent_userauth(LIBSSH2_AGENT* agent, const char* user, struct libssh2_agent_publickey* identity) {
  TRK_SSH2_ENTRY(libssh2_agent_userauth);
  return real(agent, user, identity);
}

int libssh2_agent_disconnect(LIBSSH2_AGENT* agent) {
  TRK_SSH2_ENTRY(libssh2_agent_disconnect);
  return real(agent);
}

void libssh2_agent_free(LIBSSH2_AGENT* agent) {
  TRK_SSH2_ENTRY(libssh2_agent_free);
  real(agent);
}

LIBSSH2_SFTP* libssh2_sftp_init(LIBSSH2_SESSION* session) {
  TRK_SSH2_ENTRY(libssh2_sftp_init);
  return real(session);
}

int libssh2_sftp_shutdown(LIBSSH2_SFTP* sftp) {
  TRK_SSH2_ENTRY(libssh2_sftp_shutdown);
  return real(sftp);
}

unsigned long libssh2_sftp_last_error(LIBSSH2_SFTP* sftp) {
  TRK_SSH2_ENTRY(libssh2_sftp_last_error);
  return real(sftp);
}

LIBSSH2_CHANNEL* libssh2_sftp_get_channel(LIBSSH2_SFTP* sftp) {
  TRK_SSH2_ENTRY(libssh2_sftp_get_channel);
  return real(sftp);
}

unsigned long libssh2_channel_window_write_ex(LIBSSH2_CHANNEL* channel, unsigned long* initial) {
  TRK_SSH2_ENTRY(libssh2_channel_window_write_ex);
  return real(channel, initial);
}

LIBSSH2_SFTP_HANDLE* libssh2_sftp_open_ex(LIBSSH2_SFTP* sftp, const char* name, unsigned int name_length,
                                          unsigned long flags, long mode, int open_type) {
  TRK_SSH2_ENTRY(libssh2_sftp_open_ex);
  return real(sftp, name, name_length, flags, mode, open_type);
}

ssize_t libssh2_sftp_write(LIBSSH2_SFTP_HANDLE* handle, const char* buffer, size_t count) {
  TRK_SSH2_ENTRY(libssh2_sftp_write);
  return real(handle, buffer, count);
}

void libssh2_sftp_seek64(LIBSSH2_SFTP_HANDLE* handle, libssh2_uint64_t offset) {
  TRK_SSH2_ENTRY(libssh2_sftp_seek64);
  real(handle, offset);
}

int libssh2_sftp_fstat_ex(LIBSSH2_SFTP_HANDLE* handle, LIBSSH2_SFTP_ATTRIBUTES* attrs, int set) {
  TRK_SSH2_ENTRY(libssh2_sftp_fstat_ex);
  return real(handle, attrs, set);
}

int libssh2_sftp_close_handle(LIBSSH2_SFTP_HANDLE* handle) {
  TRK_SSH2_ENTRY(libssh2_sftp_close_handle);
  return real(handle);
}

int libssh2_sftp_readdir_ex(LIBSSH2_SFTP_HANDLE* handle, char* buffer, size_t buffer_length, char* long_entry,
                            size_t long_entry_length, LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  TRK_SSH2_ENTRY(libssh2_sftp_readdir_ex);
  return real(handle, buffer, buffer_length, long_entry, long_entry_length, attrs);
}

int libssh2_sftp_stat_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int path_length, int stat_type,
                         LIBSSH2_SFTP_ATTRIBUTES* attrs) {
  TRK_SSH2_ENTRY(libssh2_sftp_stat_ex);
  return real(sftp, path, path_length, stat_type, attrs);
}

int libssh2_sftp_mkdir_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int path_length, long mode) {
  TRK_SSH2_ENTRY(libssh2_sftp_mkdir_ex);
  return real(sftp, path, path_length, mode);
}

int libssh2_sftp_rmdir_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int path_length) {
  TRK_SSH2_ENTRY(libssh2_sftp_rmdir_ex);
  return real(sftp, path, path_length);
}

int libssh2_sftp_unlink_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int path_length) {
  TRK_SSH2_ENTRY(libssh2_sftp_unlink_ex);
  return real(sftp, path, path_length);
}

int libssh2_sftp_rename_ex(LIBSSH2_SFTP* sftp, const char* from, unsigned int from_length, const char* to,
                           unsigned int to_length, long flags) {
  TRK_SSH2_ENTRY(libssh2_sftp_rename_ex);
  return real(sftp, from, from_length, to, to_length, flags);
}

int libssh2_sftp_symlink_ex(LIBSSH2_SFTP* sftp, const char* path, unsigned int path_length, char* target,
                            unsigned int target_length, int link_type) {
  TRK_SSH2_ENTRY(libssh2_sftp_symlink_ex);
  return real(sftp, path, path_length, target, target_length, link_type);
}

}  // extern "C"
