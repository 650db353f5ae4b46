#include "rcon/qorRCON_LogView.h"

#include <algorithm>
#include <vector>

#include <QDateTime>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr QChar kSection(0x00A7);
// A slice of insertion: small enough for the window to paint between slices.
constexpr int kSliceMs = 12;
constexpr size_t kPieceBytes = 32 * 1024;
constexpr int kFrameMs = 20;

// Minecraft's colours 0-9 and a-f. Black and white are the view's own text colour, so that
// text stays readable on the log's light background.
QColor CodeColour(char aCode) {
  static const QRgb kColours[16] = {0,        0x0000AA, 0x00AA00, 0x00AAAA, 0xAA0000, 0xAA00AA,
                                    0xFFAA00, 0xAAAAAA, 0x555555, 0x5555FF, 0x55FF55, 0x55FFFF,
                                    0xFF5555, 0xFF55FF, 0xFFFF55, 0};
  const int i = aCode <= '9' ? aCode - '0' : aCode - 'a' + 10;
  return kColours[i] == 0 ? QColor() : QColor(kColours[i]);
}

QTextCharFormat FormatOf(TqorRCONLogKind aKind) {
  QTextCharFormat f;
  if (aKind == TqorRCONLogKind::Command) {
    f.setForeground(QColor(0x1F, 0x4E, 0x9A));
    f.setFontWeight(QFont::Bold);
  } else if (aKind == TqorRCONLogKind::Event) {
    f.setForeground(QColor(0x60, 0x60, 0x60));
  }
  return f;
}

// A block that goes on with the line of the block before it carries this property. (The first
// block of each entry has the entry's kind as its user state.)
constexpr int kContinued = QTextFormat::UserProperty + 1;

QTextBlockFormat ContinuedBlock() {
  QTextBlockFormat f;
  f.setProperty(kContinued, true);
  return f;
}

// The log's text with its long lines whole again, and where their row breaks fall: a match may
// run across a break, which the document's own search cannot see.
class TJoinedText {
 public:
  explicit TJoinedText(const QTextDocument& aDocument) {
    for (QTextBlock b = aDocument.begin(); b.isValid(); b = b.next()) {
      if (b != aDocument.begin()) {
        if (b.blockFormat().boolProperty(kContinued))
          FBreaks.push_back(Text.size());
        else
          Text += QLatin1Char('\n');
      }
      Text += b.text();
    }
  }
  QString Text;

  // The text between aFrom and aTo selected in the document.
  QTextCursor Select(QTextDocument* aDocument, qsizetype aFrom, qsizetype aTo) const {
    QTextCursor c(aDocument);
    // A range that ends at a break ends before it; one that starts there, after it.
    c.setPosition(static_cast<int>(
        aFrom + (std::upper_bound(FBreaks.begin(), FBreaks.end(), aFrom) - FBreaks.begin())));
    c.setPosition(static_cast<int>(aTo + (std::lower_bound(FBreaks.begin(), FBreaks.end(), aTo) -
                                          FBreaks.begin())),
                  QTextCursor::KeepAnchor);
    return c;
  }
  // The offset in Text of a document position; break i sits at position FBreaks[i] + i.
  qsizetype FromDocument(int aPosition) const {
    qsizetype n = 0;
    while (n < static_cast<qsizetype>(FBreaks.size()) &&
           FBreaks[static_cast<size_t>(n)] + n < aPosition)
      ++n;
    return aPosition - n;
  }

 private:
  std::vector<qsizetype> FBreaks;
};

}  // namespace

QString TqorRCON_LogEdit::Text(int aFrom, int aTo) const {
  QString text;
  const QTextDocument* doc = document();
  for (QTextBlock b = doc->findBlock(aFrom); b.isValid() && b.position() <= aTo; b = b.next()) {
    if (b.position() > aFrom && !b.blockFormat().boolProperty(kContinued))
      text += QLatin1Char('\n');
    const int from = std::max(aFrom - b.position(), 0);
    text += b.text().mid(from, aTo - b.position() - from);
  }
  return text;
}

QString TqorRCON_LogEdit::Text() const {
  return Text(0, document()->characterCount() - 1);
}

QString TqorRCON_LogEdit::SelectedText() const {
  const QTextCursor c = textCursor();
  return Text(c.selectionStart(), c.selectionEnd());
}

QString TqorRCON_LogEdit::EntryText(int aPosition) const {
  QTextBlock first = document()->findBlock(aPosition);
  while (first.isValid() && first.userState() < 0 && first.previous().isValid())
    first = first.previous();
  QTextBlock last = first;
  while (last.next().isValid() && last.next().userState() < 0) last = last.next();
  return Text(first.position(), last.position() + last.length() - 1);
}

bool TqorRCON_LogEdit::Find(const QString& aText, bool aBackward) {
  QList<QTextEdit::ExtraSelection> marks;
  if (aText.isEmpty()) {
    setExtraSelections(marks);
    return false;
  }
  const TJoinedText joined(*document());
  const QString& text = joined.Text;
  auto select = [&](qsizetype aAt) { return joined.Select(document(), aAt, aAt + aText.size()); };
  QTextCharFormat mark;
  mark.setBackground(QColor(0xFF, 0xE0, 0x66));
  for (qsizetype at = text.indexOf(aText, 0, Qt::CaseInsensitive);
       at >= 0 && marks.size() < MaxHighlights;
       at = text.indexOf(aText, at + aText.size(), Qt::CaseInsensitive))
    marks.append({select(at), mark});
  setExtraSelections(marks);
  qsizetype found;
  if (aBackward) {
    const qsizetype before = joined.FromDocument(textCursor().selectionStart());
    found = before > 0 ? text.lastIndexOf(aText, before - 1, Qt::CaseInsensitive) : -1;
    if (found < 0) found = text.lastIndexOf(aText, -1, Qt::CaseInsensitive);
  } else {
    found =
        text.indexOf(aText, joined.FromDocument(textCursor().selectionEnd()), Qt::CaseInsensitive);
    if (found < 0) found = text.indexOf(aText, 0, Qt::CaseInsensitive);
  }
  if (found < 0) return false;
  setTextCursor(select(found));
  return true;
}

QMimeData* TqorRCON_LogEdit::createMimeDataFromSelection() const {
  auto* mime = new QMimeData;
  mime->setText(SelectedText());
  return mime;
}

std::vector<TqorRCONTextRun> SplitColourCodes(const QString& aText, QTextCharFormat& aFormat) {
  std::vector<TqorRCONTextRun> runs;
  qsizetype start = 0;
  qsizetype at = aText.indexOf(kSection);
  if (at < 0) {
    runs.push_back({aText, aFormat});
    return runs;
  }
  const QTextCharFormat base = aFormat;
  auto flush = [&](qsizetype aEnd) {
    if (aEnd > start) runs.push_back({aText.mid(start, aEnd - start), aFormat});
  };
  for (; at >= 0 && at + 1 < aText.size(); at = aText.indexOf(kSection, at + 1)) {
    const char code = static_cast<char>(aText[at + 1].toLower().unicode());
    const bool colour = (code >= '0' && code <= '9') || (code >= 'a' && code <= 'f');
    const bool style = (code >= 'k' && code <= 'o') || code == 'r';
    if (!colour && !style) continue;
    flush(at);
    start = at + 2;
    if (colour || code == 'r') {
      // As in the game, a colour also ends every style.
      QTextCharFormat next;
      next.merge(base);
      if (colour && CodeColour(code).isValid()) next.setForeground(CodeColour(code));
      if (colour && !CodeColour(code).isValid()) next.setForeground(base.foreground());
      aFormat = next;
    } else if (code == 'l') {
      aFormat.setFontWeight(QFont::Bold);
    } else if (code == 'm') {
      aFormat.setFontStrikeOut(true);
    } else if (code == 'n') {
      aFormat.setFontUnderline(true);
    } else if (code == 'o') {
      aFormat.setFontItalic(true);
    }
    // k (obfuscated) has no still rendering; the text shows as it is.
  }
  flush(aText.size());
  return runs;
}

TqorRCON_LogView::TqorRCON_LogView(TqorRCON_LogEdit* aView, QLabel* aNote)
    : QObject(aView), FView(aView), FNote(aNote) {
  FView->setReadOnly(true);
  FView->setUndoRedoEnabled(false);
  FView->setMaximumBlockCount(MaxLines);
  FNote->setText(
      QStringLiteral("Older lines were dropped: the log keeps the newest %1 lines.").arg(MaxLines));
  FNote->hide();
  FView->viewport()->installEventFilter(this);
  FFrameTimer.setSingleShot(true);
  connect(&FFrameTimer, &QTimer::timeout, this, [this] { FView->setUpdatesEnabled(true); });
}

bool TqorRCON_LogView::eventFilter(QObject* aObject, QEvent* aEvent) {
  if (aEvent->type() == QEvent::Paint) FLastPaint.start();
  return QObject::eventFilter(aObject, aEvent);
}

// A posted call, not a timer: it runs in the event loop's next turn, after the events
// already waiting (paints among them).
void TqorRCON_LogView::ScheduleFlush() {
  if (FFlushScheduled) return;
  FFlushScheduled = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        FFlushScheduled = false;
        FlushFor(kSliceMs);
      },
      Qt::QueuedConnection);
}

void TqorRCON_LogView::Append(std::string aText, TqorRCONLogKind aKind) {
  TEntry entry;
  if (FTimestamps) {
    const std::string stamp =
        QDateTime::currentDateTime().toString(QStringLiteral("[HH:mm:ss] ")).toStdString();
    entry.Text.reserve(aText.size() + stamp.size());
    entry.Text = stamp;
    for (char c : aText) {
      entry.Text += c;
      if (c == '\n') entry.Text += stamp;
    }
  } else {
    entry.Text = std::move(aText);
  }
  entry.Format = FormatOf(aKind);
  entry.Kind = aKind;
  entry.Lines = static_cast<size_t>(std::count(entry.Text.begin(), entry.Text.end(), '\n')) + 1;
  // Only answers carry codes; what the operator typed shows as typed.
  entry.Codes = aKind == TqorRCONLogKind::Answer;
  FPendingLines += entry.Lines;
  FPending.push_back(std::move(entry));
  DropBeyondCap();
  ScheduleFlush();
}

// Lines that the cap would remove right after inserting them are not inserted at all.
void TqorRCON_LogView::DropBeyondCap() {
  const size_t cap = MaxLines;
  auto droppable = [&] { return FPendingLines > cap && !FPending.front().Continued; };
  while (droppable() && FPending.size() > 1 && FPendingLines - FPending.front().Lines >= cap) {
    FPendingLines -= FPending.front().Lines;
    FPending.pop_front();
    SetDropped();
  }
  if (!droppable()) return;
  TEntry& first = FPending.front();
  const size_t excess = FPendingLines - cap;
  const char* text = first.Text.data();
  size_t cut = first.Start;
  for (size_t n = excess; n > 0; --n) {
    const auto* nl =
        static_cast<const char*>(std::memchr(text + cut, '\n', first.Text.size() - cut));
    cut = static_cast<size_t>(nl - text) + 1;
  }
  // The last colour (or reset) code in the dropped part, and the styles after it, still set
  // the format of what remains.
  if (first.Codes) {
    size_t from = std::string::npos;
    for (size_t at = first.Text.find("\xC2\xA7", first.Start); at < cut;
         at = first.Text.find("\xC2\xA7", at + 2)) {
      const char code =
          at + 2 < cut ? static_cast<char>(std::tolower(static_cast<unsigned char>(text[at + 2])))
                       : 0;
      const bool colourOrReset =
          (code >= '0' && code <= '9') || (code >= 'a' && code <= 'f') || code == 'r';
      if (from == std::string::npos || colourOrReset) from = at;
    }
    if (from != std::string::npos)
      SplitColourCodes(QString::fromUtf8(text + from, qsizetype(cut - from)), first.Format);
  }
  first.Start = cut;
  first.Lines -= excess;
  FPendingLines -= excess;
  SetDropped();
}

void TqorRCON_LogView::SetDropped() {
  FDropped = true;
  FNote->show();
}

void TqorRCON_LogView::FlushFor(int aBudgetMs) {
  if (FPending.empty()) return;
  // Painted less than a frame ago: this change is painted with the next frame.
  if (FLastPaint.isValid() && FLastPaint.elapsed() < kFrameMs && !FFrameTimer.isActive()) {
    FView->setUpdatesEnabled(false);
    FFrameTimer.start(kFrameMs - int(FLastPaint.elapsed()));
  }
  QScrollBar* bar = FView->verticalScrollBar();
  const bool follow = bar->value() >= bar->maximum();
  QTextDocument* doc = FView->document();
  QTextCursor cursor(doc);
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  const int blocksBefore = FEmpty ? 0 : doc->blockCount();
  FBlocksAdded = FEmpty ? 1 : 0;
  QElapsedTimer clock;
  clock.start();
  while (!FPending.empty() && (aBudgetMs < 0 || clock.elapsed() < aBudgetMs)) {
    TEntry& entry = FPending.front();
    const char* text = entry.Text.data() + entry.Start;
    // A long text goes in piece by piece, each ending at a line end where there is one, and
    // never inside a character.
    size_t take = entry.Text.size() - entry.Start;
    if (take > kPieceBytes) {
      const void* nl = ::memrchr(text, '\n', kPieceBytes);
      take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - text) + 1 : kPieceBytes;
      while (!nl && take > 1 && (static_cast<uint8_t>(text[take]) & 0xC0) == 0x80) --take;
    }
    const bool whole = entry.Start + take == entry.Text.size();
    const QString piece = QString::fromUtf8(text, qsizetype(take));
    if (!entry.Continued) {
      if (!FEmpty) cursor.insertBlock(QTextBlockFormat());
      cursor.block().setUserState(int(entry.Kind));
      FBlocksAdded += FEmpty ? 0 : 1;
      FRowChars = 0;
    }
    FEmpty = false;
    const size_t lines = static_cast<size_t>(std::count(text, text + take, '\n'));
    if (entry.Codes) {
      for (const TqorRCONTextRun& run : SplitColourCodes(piece, entry.Format))
        InsertText(cursor, run.Text, run.Format);
    } else {
      InsertText(cursor, piece, entry.Format);
    }
    if (whole) {
      FPendingLines -= entry.Lines;
      FPending.pop_front();
    } else {
      FPendingLines -= lines;
      entry.Lines -= lines;
      entry.Start += take;
      entry.Continued = true;
    }
  }
  cursor.endEditBlock();
  // The view's own cap has removed the oldest blocks.
  if (blocksBefore + FBlocksAdded > MaxLines) SetDropped();
  if (follow) bar->setValue(bar->maximum());
  if (!FPending.empty()) ScheduleFlush();
}

// Line breaks of the text go in with insertText as long as the last block is a fresh one (a
// break there makes a fresh block too); a break that ends a continued block needs one without
// its mark.
void TqorRCON_LogView::InsertText(QTextCursor& aCursor, const QString& aText,
                                  const QTextCharFormat& aFormat) {
  const qsizetype size = aText.size();
  qsizetype from = 0;  // not inserted yet
  qsizetype at = 0;    // scanned up to
  bool continued = aCursor.blockFormat().boolProperty(kContinued);
  while (at < size) {
    qsizetype end = aText.indexOf(QLatin1Char('\n'), at);
    if (end < 0) end = size;
    if (FRowChars + (end - at) > TqorRCON_LogEdit::RowChars) {
      qsizetype cut = at + (TqorRCON_LogEdit::RowChars - FRowChars);
      if (cut > at && aText[cut - 1].isHighSurrogate()) --cut;
      aCursor.insertText(aText.mid(from, cut - from), aFormat);
      aCursor.insertBlock(ContinuedBlock(), aFormat);
      ++FBlocksAdded;
      FRowChars = 0;
      continued = true;
      from = at = cut;
      continue;
    }
    FRowChars += end - at;
    if (end == size) break;
    if (continued) {
      aCursor.insertText(aText.mid(from, end - from), aFormat);
      aCursor.insertBlock(QTextBlockFormat(), aFormat);
      from = end + 1;
      continued = false;
    }
    ++FBlocksAdded;
    FRowChars = 0;
    at = end + 1;
  }
  if (from < size) aCursor.insertText(from == 0 ? aText : aText.mid(from), aFormat);
}

QString TqorRCON_LogView::PlainText() {
  Flush();
  return FView->Text();
}

void TqorRCON_LogView::Flush() {
  FlushFor(-1);
}

void TqorRCON_LogView::Clear() {
  FPending.clear();
  FPendingLines = 0;
  FView->clear();
  FEmpty = true;
  FRowChars = 0;
  FDropped = false;
  FNote->hide();
}

bool TqorRCON_LogView::SaveToFile(const QString& aFileName, QString& aError) {
  Flush();
  QFile file(aFileName);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
    aError = file.errorString();
    return false;
  }
  const QByteArray text = PlainText().toUtf8() + '\n';
  if (file.write(text) != text.size() || !file.flush()) {
    aError = file.errorString();
    return false;
  }
  return true;
}
