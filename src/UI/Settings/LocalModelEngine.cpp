#include "UI/Settings/LocalModelEngine.h"

#include "AI/LocalPolishEngine.h"
#include "AI/LocalPolishError.h"
#include "Runtime/Localization.h"

namespace quillory {

namespace {
class EngineAdapter final : public LocalModelEngine {
public:
    explicit EngineAdapter(LocalPolishEngine& engine) : engine_(engine) {}

    bool isModelDownloaded(PolishModel model) const override { return engine_.isModelDownloaded(model); }
    Task<> prepareModel(PolishModel model, Progress progress) override {
        return engine_.prepareModel(model, {}, std::move(progress));
    }
    void deleteModel(PolishModel model) override { engine_.deleteModel(model); }
    int cleanupResidualServers() override { return engine_.cleanupResidualServers(); }
    Task<QString> polish(QString text, PolishModel model, QString prompt) override {
        return engine_.polish(std::move(text), SpeechLocale::jaJP, model, std::move(prompt), {});
    }
    Task<QString> chatCompletion(QList<LocalLLMChatMessage> dialogue, PolishModel model) override {
        return engine_.chatCompletion(std::move(dialogue), model);
    }

private:
    LocalPolishEngine& engine_;
};
} // namespace

std::shared_ptr<LocalModelEngine> LocalModelEngine::shared() {
    static std::shared_ptr<LocalModelEngine> adapter = over(LocalPolishEngine::shared());
    return adapter;
}

std::shared_ptr<LocalModelEngine> LocalModelEngine::over(LocalPolishEngine& engine) {
    return std::make_shared<EngineAdapter>(engine);
}

QString describeEngineError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const LocalPolishError& e) {
        return e.localizedDescription();
    } catch (const ModelFileError& e) {
        return e.localizedDescription();
    } catch (const std::exception& e) {
        return QString::fromStdString(e.what());
    } catch (...) {
        return L("settings.model.error.unknown");
    }
}

} // namespace quillory
