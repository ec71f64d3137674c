// Loads a page in headless Chromium several times from each of several servers, each time in a
// fresh browser context (its own connections, nothing cached), and writes for each server each
// load's time from the start of navigation to the page's load event, and whether the page arrived
// whole. One browser serves all: a first load of the first server warms it up and is not counted.
// Needs puppeteer-core on NODE_PATH.
//
//   node bench/pageload.js [--loads N] [--timeout S] [--expect ANSWERS] URL FILE [URL FILE ...]
"use strict";

const fs = require("fs");
const puppeteer = require("puppeteer-core");

// Reads the command line into {loads, timeoutMs, expect, targets: [{url, file}]}; null when it
// is wrong.
function parseArguments(argv) {
    const options = { loads: 5, timeoutMs: 30000, expect: 0, targets: [] };
    for (let i = 0; i < argv.length; ++i) {
        const value = argv[i + 1];
        if (argv[i] === "--loads" && value) options.loads = Number(argv[++i]);
        else if (argv[i] === "--timeout" && value) options.timeoutMs = Number(argv[++i]) * 1000;
        else if (argv[i] === "--expect" && value) options.expect = Number(argv[++i]);
        // Only the loopback address: the browser talks to nothing else.
        else if (/^http:\/\/127\.0\.0\.1:\d+\//.test(argv[i]) && value) options.targets.push({ url: argv[i], file: argv[++i] });
        else return null;
    }
    const whole = (n) => Number.isInteger(n) && n >= 0;
    return options.targets.length && options.loads > 0 && whole(options.loads) && options.timeoutMs > 0 &&
        whole(options.expect) ? options : null;
}

// What the page shows of itself once loaded: the load event's time and whether its stylesheet,
// scripts and images all arrived.
function inspectPage() {
    const navigation = performance.getEntriesByType("navigation")[0];
    const images = Array.from(document.images);
    return {
        loadMs: navigation ? navigation.loadEventStart : null,
        styled: getComputedStyle(document.documentElement).getPropertyValue("--bench").trim() === "styled",
        scripts: document.documentElement.dataset.scripts === "ran",
        images: images.length,
        imagesShown: images.filter((image) => image.complete && image.naturalWidth > 0).length,
    };
}

// One load of url in a new context; resolves to the line that reports it.
async function loadOnce(browser, options, url, number) {
    const context = await browser.createBrowserContext();
    const problems = [];
    let answers = 0;
    let ms = null;
    const began = Date.now();
    try {
        const page = await context.newPage();
        await page.setCacheEnabled(false);
        page.on("response", (response) => {
            if (response.status() === 200) answers += 1;
            else problems.push(`${response.status()} ${response.url()}`);
        });
        page.on("requestfailed", (request) => {
            problems.push(`${request.failure() ? request.failure().errorText : "failed"} ${request.url()}`);
        });
        await page.goto(url, { waitUntil: "load", timeout: options.timeoutMs });
        const seen = await page.evaluate(inspectPage);
        ms = seen.loadMs;
        if (!seen.styled) problems.push("the stylesheet was not applied");
        if (!seen.scripts) problems.push("the scripts did not run");
        if (seen.imagesShown !== seen.images) problems.push(`${seen.images - seen.imagesShown} images not shown`);
        if (options.expect && answers !== options.expect) problems.push(`${answers} answers, wanted ${options.expect}`);
    } catch (error) {
        problems.push(String(error.message || error).split("\n")[0]);
    } finally {
        await context.close().catch(() => {});
    }
    // A load that failed counts with the time it took; the report marks it.
    if (ms === null) ms = Date.now() - began;
    return `load ${number}: ${ms.toFixed(1)} ms, ${answers} answers` +
        (problems.length ? `; failed: ${problems.slice(0, 3).join("; ")}` : "");
}

// Runs the loads the command line asks for; resolves to the exit status.
async function main() {
    const options = parseArguments(process.argv.slice(2));
    if (!options) {
        process.stderr.write("usage: node pageload.js [--loads N] [--timeout S] [--expect ANSWERS] " +
            "http://127.0.0.1:PORT/PATH FILE [URL FILE ...]\n");
        return 2;
    }
    const browser = await puppeteer.launch({
        executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
        headless: true,
        args: [
            // The sandbox needs user namespaces that a root shell in a container may not have.
            "--no-sandbox",
            "--disable-gpu",
            "--no-proxy-server",
            // Every host name fails: the browser talks to the loopback address only.
            "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
        ],
    });
    try {
        const version = await browser.version();
        // The first load of a new browser pays for starting its renderer and network parts.
        console.log(`warm-up ${await loadOnce(browser, options, options.targets[0].url, 0)}`);
        for (const target of options.targets) {
            const lines = [`pageload ${target.url}, ${options.loads} loads, Chromium ${version}`];
            let failed = 0;
            for (let number = 1; number <= options.loads; ++number) {
                const line = await loadOnce(browser, options, target.url, number);
                if (line.includes("; failed:")) failed += 1;
                lines.push(line);
                console.log(line);
            }
            lines.push(`Page loads: ${options.loads}, failed ${failed}`);
            fs.writeFileSync(target.file, lines.join("\n") + "\n");
        }
    } finally {
        await browser.close();
    }
    return 0;
}

main().then((status) => { process.exitCode = status; }, (error) => {
    console.error(`pageload: ${error.message || error}`);
    process.exitCode = 1;
});
