#!/usr/bin/env node
// Renders posted Teams cards the way Teams does: with the official Adaptive
// Cards renderer (the adaptivecards package, pinned in package-lock.json), in
// headless Chromium, and reads back what the rendered page shows.
//
// Usage: node tests/browser/render-cards.js --posts FILE --html OUT.html
//                                           [--png OUT.png] [--report OUT.json]
//
//   --posts FILE   JSON lines: each a posted body (a message with Adaptive Card
//                  attachments), or a stand-in record holding it as "json";
//                  other lines (MessageCards, errors) are left out
//   --html OUT     the page: every card rendered, self-contained
//   --png OUT      a screenshot of the page
//   --report OUT   what the page shows, per card: the parser's and
//                  validateProperties()'s errors, every TextBlock's text,
//                  every fact's title and value, every button's title and
//                  the URL clicking it opens, and every link's text and
//                  target (also printed on stdout)
//
// Chromium is /usr/bin/chromium (or CHROMIUM); it runs headless with a fresh
// profile and no network of its own. Exit status: 0 when every card parsed
// and validated without an error, 1 when one did not, 2 when the cards could
// not be rendered at all.
"use strict";

const fs = require("fs");
const os = require("os");
const path = require("path");
const { spawnSync } = require("child_process");

class RenderError extends Error {}

function fail(message) {
  throw new RenderError(message);
}

function parseArguments(argv) {
  const options = {};
  for (let i = 0; i < argv.length; i += 2) {
    const name = argv[i].replace(/^--/, "");
    if (!["posts", "html", "png", "report"].includes(name) || i + 1 >= argv.length)
      fail(`unknown or incomplete argument ${argv[i]}`);
    options[name] = path.resolve(argv[i + 1]);
  }
  if (!options.posts || !options.html) fail("--posts and --html are required");
  return options;
}

function postedCards(file) {
  const cards = [];
  for (const line of fs.readFileSync(file, "utf8").split("\n")) {
    if (!line.trim()) continue;
    let body = JSON.parse(line);
    if (body && body.json !== undefined && body.type === undefined) body = body.json;
    if (!body || body.type !== "message" || !Array.isArray(body.attachments)) continue;
    for (const attachment of body.attachments)
      if (attachment && attachment.contentType === "application/vnd.microsoft.card.adaptive")
        cards.push(attachment.content);
  }
  return cards;
}

function readPackageFile(relative) {
  const file = path.join(__dirname, "node_modules", relative);
  if (!fs.existsSync(file))
    fail(`${file} is missing: run scripts/bootstrap (npm ci in tests/browser)`);
  return fs.readFileSync(file, "utf8");
}

// Runs in the page: renders each card, then leaves the report, base64, in
// the page for --dump-dom to carry out.
function pageScript() {
  const cards = JSON.parse(document.getElementById("posted").textContent);
  const report = [];
  for (const json of cards) {
    const entry = { parse_errors: [], validation_errors: [], texts: [], facts: [], buttons: [],
                    links: [] };
    const card = new AdaptiveCards.AdaptiveCard();
    const context = new AdaptiveCards.SerializationContext();
    card.parse(json, context);
    for (let i = 0; i < context.eventCount; i++)
      entry.parse_errors.push(context.getEventAt(i).message);
    for (const event of card.validateProperties().validationEvents)
      entry.validation_errors.push(event.message);
    const opened = [];
    card.onExecuteAction = (action) => opened.push(action.url);
    const holder = document.createElement("div");
    holder.className = "card";
    holder.appendChild(card.render());
    document.getElementById("cards").appendChild(holder);
    for (const block of holder.querySelectorAll(".ac-textBlock"))
      entry.texts.push(block.innerText.trim());
    for (const row of holder.querySelectorAll(".ac-factset tr"))
      entry.facts.push({
        title: row.querySelector(".ac-fact-title").innerText.trim(),
        value: row.querySelector(".ac-fact-value").innerText.trim(),
      });
    for (const link of holder.querySelectorAll("a"))
      entry.links.push({ text: link.innerText.trim(), href: link.getAttribute("href") });
    for (const button of holder.querySelectorAll("button.ac-pushButton")) {
      opened.length = 0;
      button.click();
      entry.buttons.push({ title: button.innerText.trim(), url: opened[0] || null });
    }
    report.push(entry);
  }
  const text = JSON.stringify({ cards: report, height: Math.ceil(document.getElementById("cards").getBoundingClientRect().bottom) });
  document.getElementById("report").setAttribute(
    "data-report", btoa(String.fromCharCode(...new TextEncoder().encode(text))));
}

function page(cards) {
  // Nothing inside a script element may close it early.
  const script = (text) => `<script>${text.replace(/<\/script/gi, "<\\/script")}</script>`;
  return `<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>Teams cards as posted</title>
<style>${readPackageFile("adaptivecards/dist/adaptivecards.css")}</style>
<style>
body { margin: 0; padding: 16px; background: #f5f5f5; font-family: "Segoe UI", "DejaVu Sans", sans-serif; }
.card { max-width: 760px; margin: 0 0 16px; background: #fff; border-radius: 4px;
        box-shadow: 0 1px 4px rgba(0, 0, 0, 0.2); overflow: hidden; }
</style>
${script(readPackageFile("markdown-it/dist/markdown-it.min.js"))}
${script(readPackageFile("adaptivecards/dist/adaptivecards.js"))}
</head><body>
<div id="cards"></div>
<div id="report"></div>
<script id="posted" type="application/json">${JSON.stringify(cards).replace(/</g, "\\u003c")}</script>
${script(`(${pageScript.toString()})();`)}
</body></html>
`;
}

function chromium(profile, args) {
  const binary = process.env.CHROMIUM || "/usr/bin/chromium";
  const result = spawnSync(binary, [
    "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
    "--disable-background-networking", "--disable-component-update", "--disable-sync",
    "--hide-scrollbars", "--force-device-scale-factor=1", `--user-data-dir=${profile}`, ...args,
  ], { encoding: "utf8", timeout: 60000, maxBuffer: 64 * 1024 * 1024 });
  if (result.error) fail(`cannot run ${binary}: ${result.error.message}`);
  if (result.status !== 0) fail(`${binary} failed (${result.status}): ${result.stderr}`);
  return result.stdout;
}

function main() {
  const options = parseArguments(process.argv.slice(2));
  const cards = postedCards(options.posts);
  fs.writeFileSync(options.html, page(cards));

  const profile = fs.mkdtempSync(path.join(os.tmpdir(), "render-cards-"));
  try {
    const url = `file://${options.html}`;
    const dom = chromium(profile, ["--dump-dom", url]);
    const found = dom.match(/data-report="([A-Za-z0-9+/=]*)"/);
    if (!found) fail("the page left no report: did the renderer load?");
    const report = JSON.parse(Buffer.from(found[1], "base64").toString("utf8"));
    if (options.png)
      chromium(profile, [`--screenshot=${options.png}`,
                         `--window-size=800,${Math.max(200, report.height)}`, url]);
    const text = JSON.stringify(report.cards, null, 2) + "\n";
    if (options.report) fs.writeFileSync(options.report, text);
    process.stdout.write(text);
    return report.cards.some((c) => c.parse_errors.length || c.validation_errors.length) ? 1 : 0;
  } finally {
    fs.rmSync(profile, { recursive: true, force: true });
  }
}

try {
  process.exitCode = main();
} catch (error) {
  if (!(error instanceof RenderError)) throw error;
  process.stderr.write(`render-cards: ${error.message}\n`);
  process.exitCode = 2;
}
