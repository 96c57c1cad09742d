#include "rs/core/ServiceWork.h"

#include "common/ResultCodes.h"
#include "interfaces/IRepository.h"
#include "support/FakeServiceContext.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

namespace {

rs::test::FakeServiceContext fake;

// An item that runs `body` and records its answers; its answer may throw,
// as a send to a vanished peer does.
class ProbeWork : public rs::ServiceWork {
public:
    ProbeWork(std::function<void()> body, bool answerThrows = false)
        : ServiceWork("ProbeWork", IRepository::getModule_Call::facts(), fake)
        , body_(std::move(body))
        , answerThrows_(answerThrows)
    {
    }
    std::vector<int32_t> answers;

private:
    void execute() override { body_(); }
    void answer(const kav::IKavErrorInfo* error) override
    {
        answers.push_back(error ? error->getCode() : 0);
        if (answerThrows_)
            throw std::runtime_error("peer gone");
    }
    std::function<void()> body_;
    bool answerThrows_;
};

// Whatever the item throws is answered once with its code; nothing escapes
// to the worker thread or stays behind on it, not even from the answer.
TEST(ServiceWork, WhatAnItemThrowsIsAnsweredOnceAndNothingEscapes)
{
    ProbeWork broken([] { throw std::runtime_error("boom"); });
    broken.process();
    EXPECT_EQ(broken.answers, std::vector<int32_t> { kav::rc::UNEXPECTED_STD_EXCEPTION });
    ProbeWork odd([] { throw 42; });
    odd.process();
    EXPECT_EQ(odd.answers, std::vector<int32_t> { kav::rc::UNKNOWN_EXCEPTION });

    ProbeWork unanswerable([] {}, true);
    EXPECT_NO_THROW(unanswerable.process());
    EXPECT_EQ(unanswerable.answers.size(), 1u);
    EXPECT_EQ(kav::peekErrorInfo(), nullptr);
}

} // namespace
