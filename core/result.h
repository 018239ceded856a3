#pragma once

#include <QString>

// The outcome of an operation that can fail: success, or a code and a sentence saying why.
// Code is an enum whose zero value means success (ErrorCode::NoError, AtomicFile::Error::None...).
// The reason is plain English for the log and the events; the user sees catalogue keys chosen from
// the code, never the reason.
template <typename Code>
class Result {
public:
    Result() = default;
    Result(Code code, QString reason)
        : failureCode(code)
        , failureReason(std::move(reason)) {}

    bool ok() const { return failureCode == Code{}; }
    Code code() const { return failureCode; }
    const QString &reason() const { return failureReason; }

    // The same failure under another code, for a caller that reports in its own terms.
    template <typename Other>
    Result<Other> as(Other code) const {
        return ok() ? Result<Other>() : Result<Other>(code, failureReason);
    }

private:
    Code failureCode{};
    QString failureReason;
};
