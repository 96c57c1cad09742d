#include "rs/core/ServiceWork.h"

#include "common/ResultCodes.h"
#include "interfaces/IRepository.h"
#include "support/FakeServiceContext.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <stdexcept>

namespace {

rs::test::FakeServiceContext fake;

// What the item answered: nothing yet, success (0) or a failure code.
struct Answer {
    int calls = 0;
    std::optional<int32_t> code;
    kav::Params params;
};

class ProbeWork : public rs::ServiceWork {
public:
    ProbeWork(Answer& answer, std::function<void()> body)
        : ServiceWork("ProbeWork", IRepository::getModule_Call::facts(), fake)
        , answer_(answer)
        , body_(std::move(body))
    {
    }

private:
    void execute() override { body_(); }
    void answer(const kav::IKavErrorInfo* error) override
    {
        ++answer_.calls;
        answer_.code = error ? error->getCode() : 0;
        if (error)
            answer_.params = error->getParams();
    }
    Answer& answer_;
    std::function<void()> body_;
};

TEST(ServiceWork, SuccessAnswersWithoutErrorInformation)
{
    Answer answer;
    ProbeWork(answer, [] {}).process();
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.code, 0);
}

TEST(ServiceWork, RaisedFailureIsAnsweredWithItsCodeAndParameters)
{
    Answer answer;
    ProbeWork(answer, [] { KAV_THROW(kav::rc::RS_BAD_CONSUMER, "consumer refused", { "/bad" }); }).process();
    EXPECT_EQ(answer.calls, 1);
    EXPECT_EQ(answer.code, kav::rc::RS_BAD_CONSUMER);
    EXPECT_EQ(answer.params, kav::Params { "/bad" });
    EXPECT_EQ(kav::peekErrorInfo(), nullptr); // nothing left behind on the worker thread
}

TEST(ServiceWork, StandardAndUnknownExceptionsGetTheirCodes)
{
    Answer standard;
    ProbeWork(standard, [] { throw std::runtime_error("boom"); }).process();
    EXPECT_EQ(standard.code, kav::rc::UNEXPECTED_STD_EXCEPTION);

    Answer unknown;
    ProbeWork(unknown, [] { throw 42; }).process();
    EXPECT_EQ(unknown.code, kav::rc::UNKNOWN_EXCEPTION);
}

TEST(ServiceWork, AnswerThatThrowsDoesNotEscapeProcess)
{
    class ThrowingAnswer : public rs::ServiceWork {
    public:
        ThrowingAnswer()
            : ServiceWork("ThrowingAnswer", IRepository::getModule_Call::facts(), fake)
        {
        }
        void execute() override { }
        void answer(const kav::IKavErrorInfo*) override { throw std::runtime_error("peer gone"); }
    };
    ThrowingAnswer work;
    EXPECT_NO_THROW(work.process());
}

} // namespace
