// Drives Debian's Chromium through playwright-core: opens the test page that
// the suite serves and prints, as JSON, what hls.js, Shaka Player and the
// browser's own HLS playback reported for the ladder, and what each made the
// page log as errors.
//
//   node browser.mjs PAGE_URL MASTER_URL PROFILE_DIR [PLAYERS]
//
// PLAYERS, comma-separated, picks some of hlsjs, shaka and native; all by default.
import { chromium } from "playwright-core";

const [pageUrl, masterUrl, profileDir, players = "hlsjs,shaka,native"] = process.argv.slice(2);
const DEADLINE_MS = 30000;

// Off the network: nothing but the page's own loopback server is reached.
const FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
               "--disable-background-networking", "--disable-component-update",
               "--disable-sync", "--autoplay-policy=no-user-gesture-required"];

const context = await chromium.launchPersistentContext(profileDir, {
  executablePath: "/usr/bin/chromium", headless: true, args: FLAGS, timeout: 60000,
});
// A page that never settles must not leave the browser running behind us.
const watchdog = setTimeout(async () => {
  process.stderr.write("browser run took too long\n");
  await context.close();
  process.exit(1);
}, 5 * DEADLINE_MS + 30000);
const result = { browser: context.browser()?.version() ?? null, console: {} };
let player = null;  // whose errors the page logs now
const logError = (text) => (result.console[player] ??= []).push(text);
try {
  const page = context.pages()[0] ?? await context.newPage();
  page.on("console", (message) => {
    if (message.type() === "error") logError(message.text());
  });
  page.on("pageerror", (error) => logError(String(error)));
  for (const [name, play] of [["hlsjs", "playWithHlsJs"], ["shaka", "playWithShaka"],
                              ["native", "playNatively"]]) {
    if (!players.split(",").includes(name)) continue;
    player = name;
    await page.goto(pageUrl);
    result[name] = await page.evaluate(([fn, url, ms]) => window[fn](url, ms),
                                       [play, masterUrl, DEADLINE_MS]);
  }
} finally {
  clearTimeout(watchdog);
  await context.close();
}
process.stdout.write(JSON.stringify(result));
