#include "dialog/prompter.h"

#include <QApplication>
#include <QMessageBox>

void MessageBoxPrompter::Inform(const QString& caption, const QString& text) {
  QMessageBox::information(QApplication::activeWindow(), caption, text, QMessageBox::Ok);
}

bool MessageBoxPrompter::Ask(const QString& caption, const QString& text) {
  return QMessageBox::question(QApplication::activeWindow(), caption, text, QMessageBox::Yes | QMessageBox::No,
                               QMessageBox::No) == QMessageBox::Yes;
}
