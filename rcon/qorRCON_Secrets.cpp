#include "rcon/qorRCON_Secrets.h"

#include <qt6keychain/keychain.h>
#include <QEventLoop>

namespace qorRCONSecrets {

namespace {

// Runs aJob to its end; its error text, empty for success and for a missing entry.
QString Run(QKeychain::Job& aJob) {
  aJob.setAutoDelete(false);
  // Never a file beside the configuration: a password goes to the store or nowhere.
  aJob.setInsecureFallback(false);
  QEventLoop loop;
  QObject::connect(&aJob, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
  aJob.start();
  loop.exec(QEventLoop::ExcludeUserInputEvents);
  if (aJob.error() == QKeychain::NoError || aJob.error() == QKeychain::EntryNotFound)
    return QString();
  return aJob.errorString().isEmpty() ? QStringLiteral("the secret store failed")
                                      : aJob.errorString();
}

}  // namespace

bool Read(const QString& aKey, QString& aValue, QString& aError) {
  QKeychain::ReadPasswordJob job(QString::fromLatin1(Service));
  job.setKey(aKey);
  aError = Run(job);
  if (job.error() != QKeychain::NoError) return false;
  aValue = job.textData();
  return true;
}

bool Write(const QString& aKey, const QString& aValue, QString& aError) {
  QKeychain::WritePasswordJob job(QString::fromLatin1(Service));
  job.setKey(aKey);
  job.setTextData(aValue);
  aError = Run(job);
  return aError.isEmpty();
}

bool Remove(const QString& aKey, QString& aError) {
  QKeychain::DeletePasswordJob job(QString::fromLatin1(Service));
  job.setKey(aKey);
  aError = Run(job);
  return aError.isEmpty();
}

}  // namespace qorRCONSecrets
