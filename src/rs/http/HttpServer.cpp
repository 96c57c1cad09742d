// The only translation unit that includes the HTTP library: its header is
// heavy, and nothing else needs it.
#include "rs/http/HttpServer.h"

#include "rs/http/BasicAuth.h"
#include "rs/http/PageAssets.h"

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <optional>
#include <thread>

namespace rs::http {

namespace {

constexpr const char* kTextType = "text/plain; charset=utf-8";

// What a handler throws ends here as a 500: the worker serves on.
template <class Handler> httplib::Server::Handler guarded(Handler handler)
{
    return [handler](const httplib::Request& request, httplib::Response& response) {
        try {
            handler(request, response);
        } catch (...) {
            response.status = 500;
            response.set_content("internal error\n", kTextType);
        }
    };
}

bool setUpTls(SSL_CTX& context, const SideDoorSettings& settings)
{
    return SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) == 1
        && SSL_CTX_use_certificate_chain_file(&context, settings.certificate.c_str()) == 1
        && SSL_CTX_use_PrivateKey_file(&context, settings.privateKey.c_str(), SSL_FILETYPE_PEM) == 1
        && SSL_CTX_check_private_key(&context) == 1;
}

} // namespace

struct HttpServer::Impl {
    Impl(SideDoorSettings givenSettings, StatusSource& givenSource)
        : settings(std::move(givenSettings))
        , source(givenSource)
    {
    }

    SideDoorSettings settings;
    StatusSource& source;
    std::unique_ptr<httplib::Server> server;
    std::thread listener;
    std::atomic<bool> loopEnded { false }; // true once the accepting loop has ended

    // Who asks: none on loopback; else the user of the Basic credential, or
    // a 401 answer and false.
    bool logOn(const httplib::Request& request, httplib::Response& response, std::optional<std::string>& user)
    {
        if (settings.loopback)
            return true;
        if (auto credential = basicCredential(request.get_header_value("Authorization")))
            user = source.logon(*credential);
        if (user)
            return true;
        response.status = 401;
        response.set_header("WWW-Authenticate", "Basic realm=\"rs\", charset=\"UTF-8\"");
        response.set_content("log on with your user name and password\n", kTextType);
        return false;
    }

    template <class Serve> void addPage(const char* path, Serve serve)
    {
        server->Get(
            path, guarded([this, serve](const httplib::Request& request, httplib::Response& response) {
                std::optional<std::string> user;
                if (logOn(request, response, user))
                    serve(request, response, user);
            }));
    }

    void addRoutes()
    {
        auto asset = [](std::string_view text, const char* type) {
            return [text, type](const httplib::Request&, httplib::Response& response, const auto&) {
                response.set_content(text.data(), text.size(), type);
            };
        };
        addPage("/", asset(kPageHtml, "text/html; charset=utf-8"));
        addPage("/page.css", asset(kPageCss, "text/css; charset=utf-8"));
        addPage("/page.js", asset(kPageJs, "text/javascript; charset=utf-8"));
        addPage("/api/status",
            [this](const httplib::Request& request, httplib::Response& response, const auto& user) {
                response.set_content(
                    source.statusJson(user, request.get_param_value("group")), "application/json");
            });
        addPage("/metrics", [this](const httplib::Request&, httplib::Response& response, const auto&) {
            response.set_content(source.metricsText(), "text/plain; version=0.0.4; charset=utf-8");
        });
        server->Get("/healthz", guarded([](const httplib::Request&, httplib::Response& response) {
            response.set_content("ok\n", kTextType);
        }));
        server->Get("/readyz", guarded([this](const httplib::Request&, httplib::Response& response) {
            std::string why;
            if (source.ready(why)) {
                response.set_content("ready\n", kTextType);
                return;
            }
            response.status = 503;
            response.set_content(why + "\n", kTextType);
        }));
        // The side door is read-only.
        auto refuse = guarded([](const httplib::Request&, httplib::Response& response) {
            response.status = 405;
            response.set_header("Allow", "GET, HEAD");
            response.set_content("only GET and HEAD are served\n", kTextType);
        });
        server->Post(".*", refuse);
        server->Put(".*", refuse);
        server->Patch(".*", refuse);
        server->Delete(".*", refuse);
        server->Options(".*", refuse);
    }

    void configure()
    {
        server->new_task_queue = [] { return new httplib::ThreadPool(kWorkerThreads); };
        // One request per connection: a polling page must not keep a worker.
        server->set_keep_alive_max_count(1);
        server->set_read_timeout(2, 0);
        server->set_write_timeout(5, 0);
        server->set_payload_max_length(4096);
        server->set_error_handler([](const httplib::Request&, httplib::Response& response) {
            if (response.body.empty())
                response.set_content(std::to_string(response.status) + "\n", kTextType);
        });
        server->set_exception_handler(
            [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
                response.status = 500;
                response.set_content("internal error\n", kTextType);
            });
        server->set_post_routing_handler([](const httplib::Request&, httplib::Response& response) {
            response.set_header("Cache-Control", "no-store");
            response.set_header("X-Content-Type-Options", "nosniff");
            response.set_header("X-Frame-Options", "DENY");
            response.set_header("Content-Security-Policy", "default-src 'self'");
        });
        addRoutes();
    }
};

HttpServer::HttpServer(SideDoorSettings settings, StatusSource& source)
    : impl_(std::make_unique<Impl>(std::move(settings), source))
{
}

HttpServer::~HttpServer()
{
    stop();
}

bool HttpServer::start(std::string& why)
{
    const SideDoorSettings& settings = impl_->settings;
    if (settings.loopback) {
        impl_->server = std::make_unique<httplib::Server>();
    } else {
        impl_->server = std::make_unique<httplib::SSLServer>(
            [&settings](SSL_CTX& context) { return setUpTls(context, settings); });
        if (!impl_->server->is_valid()) {
            why = "the certificate '" + settings.certificate + "' or its key '" + settings.privateKey
                + "' cannot be used";
            impl_->server.reset();
            return false;
        }
    }
    impl_->configure();
    if (!impl_->server->bind_to_port(settings.host, settings.port)) {
        why = "cannot listen on " + settings.host + ":" + std::to_string(settings.port);
        impl_->server.reset();
        return false;
    }
    httplib::Server* server = impl_->server.get();
    impl_->loopEnded = false;
    impl_->listener = std::thread([this, server] {
        server->listen_after_bind();
        impl_->loopEnded = true; // also when it ended at once: stop() must not wait for it
    });
    // stop() can only end a loop that has begun.
    while (!server->is_running() && !impl_->loopEnded)
        std::this_thread::yield();
    return true;
}

void HttpServer::stop()
{
    if (!impl_->server)
        return;
    impl_->server->stop();
    if (impl_->listener.joinable())
        impl_->listener.join();
    impl_->server.reset();
}

} // namespace rs::http
