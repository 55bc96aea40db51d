#pragma once
// TDevToolsHost: the host's half of what the DevTools front end asks of its embedder when it is
// loaded by its address (Qt WebEngine gives such a page no embedder for "file:" loads). The page
// script (devtools/devtools-host.js, injected into devtools:// documents only) asks for a file in
// a console line; the host answers with the file in chunks, and only for a regular file inside
// one of the allowed folders (symbolic links resolved first), never for anything else.
//
// Threads: main thread only (Qt delivers console messages and runs scripts there).
#include <QString>
#include <QStringList>
#include <functional>

class QWebEnginePage;

namespace vexor {

class TDevToolsHost {
 public:
  // The page script, with the header that limits its injection to devtools:// documents.
  static const QString& ScriptSource();

  // Folders whose files the front end may read (the working folder, the script's folder).
  void SetAllowedFolders(const QStringList& AFolders);
  const QStringList& AllowedFolders() const { return FFolders; }
  // The local file AUrl ("file:" address) names when it is a regular file inside an allowed
  // folder; empty otherwise.
  QString AllowedFile(const QString& AUrl) const;

  // Takes a console line of a devtools:// page when it is the page script's request (true) and
  // answers it; any other line is left to the caller (false).
  bool HandleConsoleMessage(QWebEnginePage* APage, const QString& AMessage);

  // Each file request as it is decided: the address and whether it was read (diagnostics, tests).
  std::function<void(const QString& AUrl, bool ARead)> OnFileRequest;

 private:
  QStringList FFolders;  // canonical paths, main thread only
};

}  // namespace vexor
