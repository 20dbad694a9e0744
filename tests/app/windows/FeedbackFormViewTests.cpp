#include "app/windows/FeedbackFormView.h"
#include "LocalHttpServer.h"
#include "WindowsTestSupport.h"
#include "support/LanguageGuard.h"

#include <QAbstractButton>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTextDocument>

#include <gtest/gtest.h>

#include <memory>
#include <tuple>

namespace tallowin {
namespace {

using testing::LocalHttpServer;

constexpr int waitMilliseconds = 20'000;

class FeedbackView : public ::testing::Test {
protected:
    void SetUp() override
    {
        server = std::make_unique<LocalHttpServer>([this](const LocalHttpServer::Request&) { return reply; });
        view = std::make_unique<FeedbackFormView>(testing::testConfiguration(server->baseUrl()));
        view->show();
    }

    QLineEdit* titleField() const { return view->findChild<QLineEdit*>(QStringLiteral("titleField")); }
    QPlainTextEdit* contentField() const { return view->findChild<QPlainTextEdit*>(QStringLiteral("contentField")); }
    QLineEdit* emailField() const { return view->findChild<QLineEdit*>(QStringLiteral("emailField")); }
    QPushButton* submitButton() const { return view->findChild<QPushButton*>(QStringLiteral("submitButton")); }

    void typeValidForm(const QString& email = {})
    {
        view->findChild<QPushButton*>(QStringLiteral("type_bug"))->click();
        QTest::keyClicks(titleField(), QStringLiteral("  Chart freezes  "));
        QTest::keyClicks(contentField(), QStringLiteral("The chart stops after an hour of sampling."));
        QTest::keyClicks(emailField(), email);
    }

    // Presses Submit and waits for the notice; its text.
    std::string submitAndWait()
    {
        QSignalSpy finished(view.get(), &FeedbackFormView::submissionFinished);
        submitButton()->click();
        if (finished.isEmpty()) {
            EXPECT_TRUE(finished.wait(waitMilliseconds));
        }
        EXPECT_FALSE(view->isSubmitting());
        EXPECT_TRUE(submitButton()->isEnabled());
        return view->alertMessage() ? view->alertMessage()->text : std::string();
    }

    testing::LanguageGuard english { "en_US" };
    // Set before a request is sent; the server thread only reads it.
    LocalHttpServer::Response reply;
    std::unique_ptr<LocalHttpServer> server;
    std::unique_ptr<FeedbackFormView> view;
};

const std::string typedBody
    = R"({"feedbackType":"bug","title":"Chart freezes","content":"The chart stops after an hour of sampling.",)"
      R"("relatedProductId":"k3v9q2m7x1c8b5n4z6l0p2r7t")";

TEST_F(FeedbackView, PostsTheExactBodyAndEmptiesTheFormOnSuccess)
{
    reply = { 201, {}, R"({"success":true,"id":"9f1c"})" };
    typeValidForm();
    EXPECT_EQ(submitAndWait(), "Submitted successfully. Feedback ID: 9f1c");
    ASSERT_EQ(server->requests().size(), 1u);
    const LocalHttpServer::Request request = server->requests()[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/feedback");
    EXPECT_EQ(request.headers.at("content-type"), "application/json");
    EXPECT_EQ(request.body, typedBody + "}");

    EXPECT_EQ(view->draft(), FeedbackDraft {});
    EXPECT_EQ(view->focusedField(), FeedbackField::title);
    EXPECT_EQ(view->titleCounterText(), QStringLiteral("0/100"));
    QMessageBox* notice = view->currentAlert();
    ASSERT_NE(notice, nullptr);
    EXPECT_EQ(notice->text(), QStringLiteral("Notice"));
    EXPECT_EQ(notice->informativeText(), QStringLiteral("Submitted successfully. Feedback ID: 9f1c"));
    notice->buttons().at(0)->click();
    EXPECT_FALSE(view->alertMessage());

    // The emptied form takes the next message, this time with an address to answer to.
    typeValidForm(QStringLiteral(" user@example.org "));
    submitAndWait();
    ASSERT_EQ(server->requests().size(), 2u);
    EXPECT_EQ(server->requests()[1].body, typedBody + R"(,"contactEmail":"user@example.org"})");
}

TEST_F(FeedbackView, FailureKeepsTheTypedForm)
{
    const std::tuple<int, QByteArray, const char*> cases[] {
        { 201, R"({"id":"x"})", "Submitted, but failed to parse response" },
        { 400, "<b>title</b> & content", "<b>title</b> & content" },
        { 400, QByteArray("\xFE\xFF title", 8), "Submission failed: validation error" },
        { 500, "boom", "Submission failed: server error (500)" },
    };
    typeValidForm(QStringLiteral("user@example.org"));
    const FeedbackDraft typed = view->draft();
    for (const auto& [status, body, notice] : cases) {
        SCOPED_TRACE(status);
        reply = { status, {}, body.toStdString() };
        EXPECT_EQ(submitAndWait(), notice);
        EXPECT_EQ(view->draft(), typed);
        // What a person reads in the box is the service's text as sent, markup and all.
        ASSERT_NE(view->currentAlert(), nullptr);
        QTextDocument rendered;
        rendered.setHtml(view->currentAlert()->informativeText());
        EXPECT_EQ(rendered.toPlainText(), QString::fromUtf8(notice));
        view->currentAlert()->buttons().at(0)->click();
    }
}

TEST(FeedbackViewOffline, RefusedConnectionIsAServerError500)
{
    testing::LanguageGuard chinese("zh_CN");
    FeedbackFormView view(testing::testConfiguration(LocalHttpServer::closedBaseUrl()));
    view.show();
    view.findChild<QLineEdit*>(QStringLiteral("titleField"))->setText(QStringLiteral("五个字标题"));
    view.findChild<QPlainTextEdit*>(QStringLiteral("contentField"))->setPlainText(QString(20, QChar(0x5B57)));
    QSignalSpy finished(&view, &FeedbackFormView::submissionFinished);
    view.submit();
    ASSERT_TRUE(finished.wait(waitMilliseconds));
    ASSERT_TRUE(view.alertMessage());
    EXPECT_EQ(view.alertMessage()->text, "提交失败：服务器错误（500）");
    EXPECT_EQ(view.title(), QStringLiteral("五个字标题"));
}

TEST_F(FeedbackView, TypingPastTheLimitsKeepsTheBeginning)
{
    QString typed = QStringLiteral("abcdefghijklmnopqrstuvwxy").repeated(6);
    QTest::keyClicks(titleField(), typed);
    EXPECT_EQ(view->title(), typed.left(100));
    EXPECT_EQ(view->titleCounterText(), QStringLiteral("100/100"));

    // Pasted at once.
    QString pasted = QStringLiteral("start ") + QString(2500, QLatin1Char('c'));
    contentField()->setFocus();
    contentField()->insertPlainText(pasted);
    EXPECT_EQ(view->content(), pasted.left(2000));
    EXPECT_EQ(view->contentCounterText(), QStringLiteral("2000/2000"));
    // Typing on at the end changes nothing any more.
    QTest::keyClicks(contentField(), QStringLiteral("zz"));
    EXPECT_EQ(view->content(), pasted.left(2000));
}

TEST_F(FeedbackView, CaptionsAndSubmitPointAtTheFirstInvalidField)
{
    EXPECT_EQ(view->contentCounterText(), QStringLiteral("0/2000"));
    // Only spaces: empty, so no error caption yet; the counter counts trimmed characters.
    titleField()->setText(QStringLiteral("    "));
    EXPECT_EQ(view->titleCounterText(), QStringLiteral("0/100"));
    EXPECT_EQ(view->titleErrorText(), QString());
    titleField()->setText(QStringLiteral(" 标题abcd "));
    EXPECT_EQ(view->titleCounterText(), QStringLiteral("6/100"));
    titleField()->setText(QStringLiteral(" abcd "));
    EXPECT_EQ(view->titleErrorText(), QStringLiteral("Title length must be 5–100"));
    view->submit();
    EXPECT_EQ(view->focusedField(), FeedbackField::title);

    titleField()->setText(QStringLiteral(" abcde "));
    EXPECT_EQ(view->titleErrorText(), QString());
    contentField()->setPlainText(QString(19, QLatin1Char('x')));
    EXPECT_EQ(view->contentErrorText(), QStringLiteral("Content length must be 20–2000"));
    view->submit();
    EXPECT_EQ(view->focusedField(), FeedbackField::content);

    contentField()->setPlainText(QString(20, QLatin1Char('x')));
    emailField()->setText(QStringLiteral("name@host"));
    EXPECT_EQ(view->emailErrorText(), QStringLiteral("Invalid email format"));
    view->submit();
    EXPECT_EQ(view->focusedField(), FeedbackField::email);

    EXPECT_FALSE(view->isSubmitting());
    EXPECT_TRUE(server->requests().empty());
}

TEST_F(FeedbackView, SubmittingTwiceSendsOnce)
{
    reply.hang = true;
    typeValidForm();
    submitButton()->click();
    EXPECT_TRUE(view->isSubmitting());
    EXPECT_FALSE(submitButton()->isEnabled());
    view->submit();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server->requests().empty(); }, waitMilliseconds));
    QTest::qWait(200);
    EXPECT_EQ(server->requests().size(), 1u);
    EXPECT_TRUE(view->isSubmitting());
}

}
}
