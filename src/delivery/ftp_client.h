// A small FTP client that plays one file named by an "ftp://" URL
// (ftp://[user[:password]@]host[:port]/path) straight into an HTTP client's
// connection: the control dialogue runs on the connection's thread, and a
// data thread copies the passive-mode data connection to the client.
#pragma once

#include "http/http_connection.h"

#include <cstddef>
#include <string>

inline constexpr size_t kFtpReplySize = 1024;
inline constexpr int kFtpReplyMs = 15000;
// The password of an anonymous login, an e-mail address by custom.
inline constexpr const char* kFtpAnonymousPassword = "media-server@localhost";

// Plays the file of url to the client: HTTP_CLOSE after the transfer (or a
// transfer that failed after the head went out, which closes the
// connection rather than writing a second head into the body); the 404 or
// 500 answer's result when the dialogue failed before.
int ftp_fetch(HttpConnection* connection, const char* url);

// Sends command (when not null) and reads the reply into buffer, size bytes,
// zero-terminated: the code of the reply's last line ("ddd " followed by its
// text; "ddd-" lines before it continue it), or 0 when no complete reply
// arrived before the server closed or fell silent for kFtpReplyMs.
int ftp_command(int control_socket, const char* command, char* buffer, size_t size);

// Where a reply ends: scans the complete lines of buffer (length bytes)
// from line_start, which it moves past every continuation line, and
// returns the code of the final line (three digits from 100 to 599 and a
// blank), or 0 when it has not arrived yet.
int ftp_reply_scan(const char* buffer, size_t length, size_t& line_start);

// The login of url: the user and the password before its "@",
// percent-decoded; "anonymous" and kFtpAnonymousPassword without one.
std::string ftp_user(const char* url);
std::string ftp_password(const char* url);
