#include "discovery/allow_list.h"

namespace mornix {

namespace AllowList {

const QList<ProductEntry> &products()
{
    static const QList<ProductEntry> entries = {
        {QStringLiteral("claude-desktop"),
         QStringLiteral("Claude Desktop"),
         QStringLiteral("claude"),
         kApplicationKind.toString(),
         kAnthropicTeam.toString(),
         {},
         {}},
        {QStringLiteral("claude-code"),
         QStringLiteral("Claude Code"),
         QStringLiteral("claude"),
         kProcessKind.toString(),
         kAnthropicTeam.toString(),
         {QStringLiteral("claude"), QStringLiteral("claude.exe")},
         {QStringLiteral("com.anthropic.claude-code")}},
        {QStringLiteral("chatgpt"),
         QStringLiteral("ChatGPT"),
         QStringLiteral("chatgpt"),
         kApplicationKind.toString(),
         kOpenAITeam.toString(),
         {},
         {}},
        {QStringLiteral("codex"),
         QStringLiteral("Codex"),
         QStringLiteral("codex"),
         kApplicationKind.toString(),
         kOpenAITeam.toString(),
         {},
         {}},
        {QStringLiteral("codex"),
         QStringLiteral("Codex"),
         QStringLiteral("codex"),
         kProcessKind.toString(),
         kOpenAITeam.toString(),
         {QStringLiteral("codex")},
         {QStringLiteral("com.openai.codex"), QStringLiteral("codex")}},
    };
    return entries;
}

const QList<ApplicationRule> &applicationRules()
{
    static const QList<ApplicationRule> rules = {
        {kAnthropicTeam.toString(),
         {QStringLiteral("com.anthropic.claude"), QStringLiteral("com.anthropic.claudefordesktop"),
          QStringLiteral("com.anthropic.claudedesktop")},
         {},
         QStringLiteral("claude-desktop")},
        // Any application of the vendor that calls itself ChatGPT is ChatGPT.
        {kOpenAITeam.toString(), {}, QStringLiteral("chatgpt"), QStringLiteral("chatgpt")},
        {kOpenAITeam.toString(),
         {QStringLiteral("com.openai.chatgpt"), QStringLiteral("com.openai.chat")},
         {},
         QStringLiteral("chatgpt")},
        // The codex bundle is the Codex application only when it says so; otherwise it is ChatGPT.
        {kOpenAITeam.toString(),
         {QStringLiteral("com.openai.codex")},
         QStringLiteral("codex"),
         QStringLiteral("codex")},
        {kOpenAITeam.toString(), {QStringLiteral("com.openai.codex")}, {}, QStringLiteral("chatgpt")},
    };
    return rules;
}

}  // namespace AllowList

}  // namespace mornix
