// The preview page in Debian's Chromium, driven through the DevTools protocol against a
// running `vizmira serve`:
//   node preview.test.mjs VIZMIRA OUTPUT_DIR
// Exits 77 (skipped) only when Chromium cannot start. Leaves a screenshot of the page in
// OUTPUT_DIR/vizmira-serve.png.
import assert from "node:assert/strict";
import { execFileSync, spawn } from "node:child_process";
import fs from "node:fs";
import os from "node:os";
import path from "node:path";
import puppeteer from "puppeteer-core";

const [vizmiraArg, outputDir] = process.argv.slice(2);
const vizmira = vizmiraArg && path.resolve(vizmiraArg);
if (!vizmiraArg || !outputDir) {
  console.error("usage: node preview.test.mjs VIZMIRA OUTPUT_DIR");
  process.exit(2);
}
const chromium = process.env.CHROMIUM || "/usr/bin/chromium";
const work = fs.mkdtempSync(path.join(os.tmpdir(), "vizmira-browser-"));
fs.mkdirSync(outputDir, { recursive: true });

const cli = (...args) => execFileSync(vizmira, args, { cwd: work, encoding: "utf8" });
const controls = (...sets) => JSON.parse(cli("params", "--json", ...sets.flatMap((s) => ["--set", s])));
// The file `vizmira render` writes for the card with these settings.
function rendered(...sets) {
  cli("render", "card.png", "ref.png", ...sets.flatMap((s) => ["--set", s]));
  return fs.readFileSync(path.join(work, "ref.png"));
}

cli("testcard", "card.png", "--size", "640x360");
const server = spawn(vizmira, ["serve", "card.png", "--port", "0", "--threads", "2"], { cwd: work });
const url = await new Promise((resolve, reject) => {
  let out = "";
  server.stdout.on("data", (d) => {
    out += d;
    const m = out.match(/http:\/\/[^ ]+\//);
    if (m) resolve(m[0]);
  });
  server.stderr.on("data", (d) => process.stderr.write(d));
  server.on("exit", (code) => reject(new Error(`vizmira serve ended with ${code}: ${out}`)));
});

let browser;
try {
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
  });
} catch (err) {
  console.log(`SKIPPED: Chromium (${chromium}) cannot start: ${err.message.split("\n")[0]}`);
  server.kill("SIGINT");
  process.exit(77);
}

let failed = false;
try {
  const page = await browser.newPage();
  await page.setViewport({ width: 1280, height: 800 });
  page.on("pageerror", (err) => { console.error("page error:", err.message); failed = true; });
  await page.goto(url);
  await page.waitForSelector("#controls .control");
  const settled = () => page.waitForFunction(() => window.vz.settled(), { timeout: 120000 });
  await settled();

  // Every declared control is on the page, inside the group that declares it.
  const declared = controls();
  assert.equal(declared.length, 64);
  const placed = await page.evaluate(() => [...document.querySelectorAll("[data-index]")].map((e) => ({
    index: Number(e.dataset.index),
    group: e.parentElement.closest("details.group")?.dataset.index ?? null,
  })));
  const expected = [];
  const open = [];
  for (const c of declared) {
    if (c.type === "group_end") { open.pop(); continue; }
    expected.push({ index: c.index, group: open.length ? String(open[open.length - 1]) : null });
    if (c.type === "group_start") open.push(c.index);
  }
  assert.deepEqual(placed, expected, "controls and their groups");
  const groupEnds = declared.filter((c) => c.type === "group_end").length;
  assert.equal(placed.length + groupEnds, 64);
  // Groups start folded where the effect folds them.
  const folded = await page.evaluate(() => Object.fromEntries(
    [...document.querySelectorAll("details.group")].map((d) => [d.dataset.index, !d.open])));
  for (const c of declared.filter((c) => c.type === "group_start")) assert.equal(folded[c.index], c.folded, c.path);

  // Triangle, feather 40, Screen: the picture is the command's, bit for bit.
  const choice = (index, text) => String(declared[index - 1].choices.indexOf(text) + 1);
  const row = (index) => `.control[data-index="${index}"]`;
  const typeIn = async (index, value) => {
    await page.$eval(`${row(index)} input[type=number], ${row(index)} input[type=text]`, (el, v) => {
      el.value = v;
      el.dispatchEvent(new Event("change"));
    }, value);
  };
  await page.select(`${row(2)} select`, choice(2, "Triangle"));
  await typeIn(6, "40");
  await page.select(`${row(64)} select`, choice(64, "Screen"));
  await settled();
  // The shown picture's pixels and the command's file's, both decoded by the browser (the
  // card is 8-bit and opaque, so the canvas holds them exactly).
  const sameAsShown = (file) => page.evaluate(async (bytes) => {
    const pixels = async (blob) => {
      const image = await createImageBitmap(blob, { colorSpaceConversion: "none" });
      const canvas = new OffscreenCanvas(image.width, image.height);
      const context = canvas.getContext("2d");
      context.drawImage(image, 0, 0);
      return context.getImageData(0, 0, image.width, image.height).data;
    };
    const a = await pixels(window.vz.blob);
    const b = await pixels(new Blob([Uint8Array.from(bytes)], { type: "image/png" }));
    return a.length === b.length && a.every((v, i) => v === b[i]);
  }, Array.from(file));
  assert.ok(await sameAsShown(rendered("Type=Triangle", "Feather=40", "MODE=Screen")),
            "the page's picture is the command's");
  await page.screenshot({ path: path.join(outputDir, "vizmira-serve.png") });

  // Type None greys out what `params --set Type=None` reports greyed.
  await page.select(`${row(2)} select`, choice(2, "None"));
  await settled();
  const enabled = await page.evaluate(() => Object.fromEntries(
    [...document.querySelectorAll(".control")].map((e) => [e.dataset.index, e.dataset.enabled === "true"])));
  const none = controls("Type=None", "Feather=40", "MODE=Screen");
  for (const c of none.filter((c) => !c.type.startsWith("group"))) assert.equal(enabled[c.index], c.enabled, c.path);
  assert.ok(none.some((c) => !c.enabled), "some controls are greyed");

  // A change while a slow render runs: the slow picture never replaces the newer one.
  const realistic = declared.find((c) => c.path.endsWith("Realistic Blur  [very slow]/Amount")).index;
  const lightness = declared.find((c) => c.path.endsWith("Lightness/Amount")).index;
  await page.select(`${row(2)} select`, choice(2, "Circle"));
  await settled();
  await typeIn(realistic, "100");
  await page.waitForFunction(() => window.vz.busy && window.vz.requested > window.vz.shown);
  const slow = await page.evaluate(() => window.vz.requested);
  await typeIn(lightness, "40");
  await settled();
  const { history, requested } = await page.evaluate(() => ({ history: window.vz.history, requested: window.vz.requested }));
  assert.ok(history.every((seq, i) => i === 0 || seq > history[i - 1]), `shown in order: ${history}`);
  assert.ok(!history.includes(slow), `the stopped render ${slow} was never shown: ${history}`);
  assert.equal(history[history.length - 1], requested);
  assert.ok(await sameAsShown(rendered("Type=Circle", "Feather=40", "MODE=Screen",
    "Realistic Blur  [very slow]/Amount=100", "Lightness/Amount=40")), "the newest settings' picture");
  // A point placed by clicking on the picture, a quarter across and half down.
  await page.click(`${row(7)} button`);
  const box = await page.evaluate(() => {
    const img = document.getElementById("picture-view"), r = img.getBoundingClientRect();
    const scale = Math.min(r.width / img.naturalWidth, r.height / img.naturalHeight);
    return { x: r.left + (r.width - img.naturalWidth * scale) / 2, y: r.top + (r.height - img.naturalHeight * scale) / 2,
             w: img.naturalWidth * scale, h: img.naturalHeight * scale };
  });
  await page.mouse.click(box.x + box.w / 4, box.y + box.h / 2);
  await settled();
  const position = await page.$eval(`${row(7)} input[type=text]`, (el) => el.value);
  const [px, py] = position.split(",").map(Number);
  assert.ok(Math.abs(px - 160) <= 1 && Math.abs(py - 180) <= 1, `Position ${position}`);

  // The lens dragged by its handle: the control follows, the outline with it, and the
  // picture re-renders.
  await typeIn(realistic, "0");
  await settled();
  // The handle as drawn over the laid-out picture.
  const handle = await (await page.waitForFunction(() => {
    const r = document.querySelector(`#overlay .handle[data-point="7"]`)?.getBoundingClientRect();
    return r && r.width > 0 && { x: r.left + r.width / 2, y: r.top + r.height / 2 };
  })).jsonValue();
  const shownBefore = await page.evaluate(() => window.vz.shown);
  await page.mouse.move(handle.x, handle.y);
  await page.mouse.down();
  const target = { x: box.x + box.w * 0.7, y: box.y + box.h * 0.35 };
  for (let i = 1; i <= 8; ++i)
    await page.mouse.move(handle.x + (target.x - handle.x) * i / 8, handle.y + (target.y - handle.y) * i / 8);
  const during = await page.evaluate(() => window.vz.outline.center);
  await page.mouse.up();
  await settled();
  const dragged = await page.$eval(`${row(7)} input[type=text]`, (el) => el.value);
  const [dx, dy] = dragged.split(",").map(Number);
  assert.ok(Math.abs(dx - 448) <= 1 && Math.abs(dy - 126) <= 1, `Position after the drag ${dragged}`);
  assert.deepEqual(during, [dx, dy], "the outline followed the drag");
  assert.deepEqual(await page.evaluate(() => window.vz.outline.center), [dx, dy]);
  assert.ok(await page.evaluate((n) => window.vz.shown > n, shownBefore), "the picture re-rendered");
  assert.ok(await sameAsShown(rendered("Type=Circle", "Feather=40", "MODE=Screen", "Lightness/Amount=40",
    `Position=${dragged}`)), "the picture is the dragged lens's");

  // The outline lies where the rendered lens mask crosses 0.5: a black picture under an
  // opaque white overlay shows the mask itself.
  cli("render", "card.png", "black.png", "--set", "Type=None", "--set", "Color/Opacity=100",
      "--set", "Color/Color=#000000", "--set", "Fast Blur/Visible=off");
  const lenses = [
    ["Type=Circle"],
    ["Type=Circle", "Scale Width=150", "Scale Height=60", "Rotation=30", "Position=200,150", "Feather=20"],
    ["Type=Circle", "Position=10%,80%", "Scale=60", "Feather=100"],
    ["Type=3", "Rotation=20", "Scale=80"],
    ["Type=3", "Feather=250"],
    ["Type=4", "Rotation=-45", "Scale=50", "Feather=50"],
    ["Type=Triangle"],
    ["Type=Triangle", "Rotation=75", "Scale Width=120", "Scale Height=70", "Feather=30", "Position=300,200"],
  ];
  for (const sets of lenses) {
    const args = [...sets, "Fast Blur/Visible=off", "Color/Opacity=100"].flatMap((s) => ["--set", s]);
    cli("render", "black.png", "mask.png", ...args);
    const found = await page.evaluate(async (bytes, list) => {
      const image = await createImageBitmap(new Blob([Uint8Array.from(bytes)], { type: "image/png" }),
                                            { colorSpaceConversion: "none" });
      const w = image.width, h = image.height;
      const context = new OffscreenCanvas(w, h).getContext("2d");
      context.drawImage(image, 0, 0);
      const data = context.getImageData(0, 0, w, h).data;
      const inside = (x, y) => data[4 * (y * w + x)] >= 128;  // out = trunc(255·m + 0.5)
      // Pixels beside a pixel on the other side of 0.5.
      const crossing = [];
      for (let y = 0; y < h; ++y)
        for (let x = 0; x < w; ++x)
          if ((x + 1 < w && inside(x, y) !== inside(x + 1, y)) || (x > 0 && inside(x, y) !== inside(x - 1, y)) ||
              (y + 1 < h && inside(x, y) !== inside(x, y + 1)) || (y > 0 && inside(x, y) !== inside(x, y - 1)))
            crossing.push([x, y]);
      const outline = window.vz.lensOutline(list, w, h);
      if (!outline || !outline.edge) return { error: "no outline" };
      const edge = outline.edge.filter(([x, y]) => x >= 1 && y >= 1 && x <= w - 2 && y <= h - 2);
      let outlineToMask = 0, maskToOutline = 0;
      for (const [x, y] of edge) {
        let best = Infinity;
        for (const [cx, cy] of crossing) best = Math.min(best, Math.hypot(cx - x, cy - y));
        outlineToMask = Math.max(outlineToMask, best);
      }
      const segment = ([x, y], [ax, ay], [bx, by]) => {
        const ex = bx - ax, ey = by - ay, l = ex * ex + ey * ey;
        const t = l ? Math.max(0, Math.min(1, ((x - ax) * ex + (y - ay) * ey) / l)) : 0;
        return Math.hypot(x - ax - t * ex, y - ay - t * ey);
      };
      for (const p of crossing) {
        let best = Infinity;
        outline.edge.forEach((a, i) => { best = Math.min(best, segment(p, a, outline.edge[(i + 1) % outline.edge.length])); });
        maskToOutline = Math.max(maskToOutline, best);
      }
      return { points: edge.length, crossing: crossing.length, outlineToMask, maskToOutline };
    }, Array.from(fs.readFileSync(path.join(work, "mask.png"))), controls(...sets));
    const what = `${sets.join(" ")}: ${JSON.stringify(found)}`;
    assert.ok(found.points > 50 && found.crossing > 50, what);
    assert.ok(found.outlineToMask <= 1, what);
    assert.ok(found.maskToOutline <= 1.5, what);
  }

  // Saving over a file asks first; the file is replaced only when the user says so.
  const saveAs = async (name, answer) => {
    await page.$eval("#result-name", (el, v) => { el.value = v; }, name);
    await page.$eval("#message", (el) => { el.textContent = ""; });
    let asked = null;
    const onDialog = async (dialog) => { asked = dialog.message(); await (answer ? dialog.accept() : dialog.dismiss()); };
    page.on("dialog", onDialog);
    await page.click("#save-result");
    await page.waitForFunction(() => /^(saved|.* was kept)/.test(document.getElementById("message").textContent));
    page.off("dialog", onDialog);
    return { asked, said: await page.$eval("#message", (el) => el.textContent) };
  };
  fs.writeFileSync(path.join(work, "kept.png"), "not a picture");
  assert.deepEqual(await saveAs("kept.png", false), { asked: "kept.png exists. Replace it?", said: "kept.png was kept" });
  assert.equal(fs.readFileSync(path.join(work, "kept.png"), "utf8"), "not a picture");
  assert.deepEqual(await saveAs("kept.png", true), { asked: "kept.png exists. Replace it?", said: "saved kept.png" });
  assert.deepEqual(await saveAs("fresh.png", true), { asked: null, said: "saved fresh.png" });
  assert.ok(fs.readFileSync(path.join(work, "kept.png")).equals(fs.readFileSync(path.join(work, "fresh.png"))));
  console.log(`preview test passed (${history.length} pictures shown, render ${slow} stopped)`);
} catch (err) {
  console.error(err);
  failed = true;
} finally {
  await browser.close();
  if (server.exitCode === null) {
    const ended = new Promise((resolve) => server.on("exit", resolve));
    server.kill("SIGINT");
    await ended;
  }
  fs.rmSync(work, { recursive: true, force: true });
}
process.exit(failed ? 1 : 0);
