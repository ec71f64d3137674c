// Loads a page in headless Chromium several times from each of several servers, in turns, each
// time in a fresh browser context (its own connections, nothing cached), and writes for each
// server each load's time from the start of navigation to the load event, and whether the page
// came whole.
// One browser serves all; a first load of each server warms it up and is not counted.
// Needs puppeteer-core on NODE_PATH.
//
//   node bench/pageload.js LOADS TIMEOUT_S EXPECTED_ANSWERS URL FILE [URL FILE ...]
"use strict";

const fs = require("fs");
const puppeteer = require("puppeteer-core");

// Reads "LOADS TIMEOUT EXPECT URL FILE [URL FILE ...]" into {loads, timeoutMs, expect, targets};
// null when wrong. Only the loopback address: the browser talks to nothing else.
function parseArguments([loads, timeout, expect, ...pairs]) {
    const targets = [];
    for (let i = 0; i + 1 < pairs.length; i += 2) targets.push({ url: pairs[i], file: pairs[i + 1] });
    const options = { loads: Number(loads), timeoutMs: Number(timeout) * 1000, expect: Number(expect), targets };
    const fine = targets.length && pairs.length % 2 === 0 && targets.every((t) => /^http:\/\/127\.0\.0\.1:\d+\//.test(t.url));
    return fine && Number.isInteger(options.loads) && options.loads > 0 && options.timeoutMs > 0 &&
        Number.isInteger(options.expect) ? options : null;
}

// What the page shows of itself once loaded: the load event's time, and what did not arrive.
function inspectPage() {
    const problems = [];
    const images = Array.from(document.images);
    const shown = images.filter((image) => image.complete && image.naturalWidth > 0).length;
    if (getComputedStyle(document.documentElement).getPropertyValue("--bench").trim() !== "styled") problems.push("the stylesheet was not applied");
    if (document.documentElement.dataset.scripts !== "ran") problems.push("the scripts did not run");
    if (shown !== images.length) problems.push(`${images.length - shown} images not shown`);
    const navigation = performance.getEntriesByType("navigation")[0];
    return { loadMs: navigation ? navigation.loadEventStart : null, problems };
}

// One load of url in a new context; resolves to the line that reports it. A load that failed
// counts with the time it took; the report marks it.
async function loadOnce(browser, options, url, number) {
    const context = await browser.createBrowserContext();
    const problems = [];
    let answers = 0, ms = null;
    const began = Date.now();
    try {
        const page = await context.newPage();
        await page.setCacheEnabled(false);
        page.on("response", (r) => (r.status() === 200 ? (answers += 1) : problems.push(`${r.status()} ${r.url()}`)));
        page.on("requestfailed", (r) => problems.push(`${r.failure() ? r.failure().errorText : "failed"} ${r.url()}`));
        await page.goto(url, { waitUntil: "load", timeout: options.timeoutMs });
        const seen = await page.evaluate(inspectPage);
        ms = seen.loadMs;
        problems.push(...seen.problems);
        if (options.expect && answers !== options.expect) problems.push(`${answers} answers, wanted ${options.expect}`);
    } catch (error) {
        problems.push(String(error.message || error).split("\n")[0]);
    } finally {
        await context.close().catch(() => {});
    }
    return `load ${number}: ${(ms === null ? Date.now() - began : ms).toFixed(1)} ms, ${answers} answers` +
        (problems.length ? `; failed: ${problems.slice(0, 3).join("; ")}` : "");
}

// Runs the loads the command line asks for; resolves to the exit status.
async function main() {
    const options = parseArguments(process.argv.slice(2));
    if (!options) {
        process.stderr.write("usage: node pageload.js LOADS TIMEOUT_S EXPECTED_ANSWERS http://127.0.0.1:PORT/PATH FILE ...\n");
        return 2;
    }
    const browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        headless: true,
        // No sandbox: it needs user namespaces that a root shell in a container may not have;
        // every host name but the loopback address fails.
        args: ["--no-sandbox", "--disable-gpu", "--no-proxy-server", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"],
    });
    try {
        const version = await browser.version();
        // The first loads of a new browser pay for starting its renderer and network parts, and
        // the first after them still took twice its server's usual time: one pass goes uncounted.
        for (const target of options.targets) console.log(`warm-up ${target.url} ${await loadOnce(browser, options, target.url, 0)}`);
        const lines = options.targets.map((t) => [`pageload ${t.url}, ${options.loads} loads, Chromium ${version}`]);
        // The servers take turns load by load, each pass starting one further along: the host's
        // pace drifts by half within a minute, and a server's loads in a row would take one pace.
        for (let number = 1; number <= options.loads; ++number) {
            for (let turn = 0; turn < options.targets.length; ++turn) {
                const index = (number - 1 + turn) % options.targets.length;
                lines[index].push(await loadOnce(browser, options, options.targets[index].url, number));
                console.log(`${options.targets[index].url} ${lines[index][lines[index].length - 1]}`);
            }
        }
        options.targets.forEach((target, index) => {
            const failed = lines[index].filter((l) => l.includes("; failed:")).length;
            lines[index].push(`Page loads: ${options.loads}, failed ${failed}`);
            fs.writeFileSync(target.file, lines[index].join("\n") + "\n");
        });
    } finally {
        await browser.close();
    }
    return 0;
}

main().then((status) => { process.exitCode = status; }, (error) => {
    console.error(`pageload: ${error.message || error}`);
    process.exitCode = 1;
});
