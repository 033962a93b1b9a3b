// The process-wide credential cache, which remembers the credentials that
// worked for a server, and the credentials dialog, with which a request asks
// for a user name and password on a 401, a 407 or a refused FTP login.
//
// The dialog's template is not part of the program: without a prompter
// installed, DoModal answers -1 at once and every prompt counts as cancelled,
// so nothing ever waits for input. Tests install scripted prompters.
#pragma once

#include <cstdint>
#include <map>
#include <tuple>

#include "core/ktstring.h"

// Credentials are kept per scheme (service code), host and port: what worked
// for https://h is never offered to http://h, ftp://h or another port of h.
// Hosts compare by code unit, so the match is case-sensitive.
struct KTCredentialKey {
  uint32_t service = 0;
  KTString server;
  uint16_t port = 0;

  friend bool operator<(const KTCredentialKey& a, const KTCredentialKey& b) {
    if (a.service != b.service) return a.service < b.service;
    if (a.port != b.port) return a.port < b.port;
    return a.server < b.server;
  }
};

struct KTCredentialEntry {
  KTString user;
  KTString password;
  KTString proxyUser;
  KTString proxyPassword;
};

class KTCredentialCache {
 public:
  // The one cache of the process (one thread: no lock).
  static KTCredentialCache& Global();

  // Inserts the entry or replaces all four strings of the present one.
  void Store(const KTCredentialKey& key, const KTCredentialEntry& entry);
  // The entry of key, or null.
  const KTCredentialEntry* Find(const KTCredentialKey& key) const;

 private:
  std::map<KTCredentialKey, KTCredentialEntry> entries_;
};

// Results of KTProxyPasswordDialog::DoModal.
inline constexpr int kDialogOk = 1;
inline constexpr int kDialogCancel = 2;
inline constexpr int kDialogUnavailable = -1;  // no dialog could be shown

class KTProxyPasswordDialog;

// Answers credential prompts in place of the missing dialog template.
class KTCredentialPrompter {
 public:
  virtual ~KTCredentialPrompter() = default;
  // May change the dialog's user and password; returns kDialogOk to use them,
  // anything else to cancel.
  virtual int Prompt(KTProxyPasswordDialog& dialog) = 0;
};

// Installs the prompter that answers every later prompt (not owned; null for
// none, the program's state).
void KTSetCredentialPrompter(KTCredentialPrompter* prompter);

class KTProxyPasswordDialog {
 public:
  explicit KTProxyPasswordDialog(bool proxy) : proxy_(proxy) {}

  // kDialogOk when the user confirmed; kDialogUnavailable when there is no
  // prompter (the template is missing), so the prompt counts as cancelled.
  int DoModal();

  bool IsProxy() const { return proxy_; }
  // The proxy caption for a 407 prompt, else the caption of a server prompt.
  const char16_t* GetCaption() const;

  KTString password;
  KTString server;
  KTString user;
  KTString objectPath;

 private:
  bool proxy_;
};
