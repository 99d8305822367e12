// The message boxes of the dialog program, behind one interface so that an
// unattended run (and a test) can answer them.
#pragma once

#include <QString>

// The caption of every message box of the program.
inline const QString kMessageCaption = QStringLiteral("VLSeriesFirmwareUpdaterApp");

class Prompter {
 public:
  virtual ~Prompter() = default;
  // A box with an OK button.
  virtual void Inform(const QString& caption, const QString& text) = 0;
  // A box with Yes and No buttons; true for Yes.
  virtual bool Ask(const QString& caption, const QString& text) = 0;
};

// Modal QMessageBox boxes, owned by the active window (none for the first).
class MessageBoxPrompter final : public Prompter {
 public:
  void Inform(const QString& caption, const QString& text) override;
  bool Ask(const QString& caption, const QString& text) override;
};
