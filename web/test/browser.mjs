// Shared by the page test and the page benchmark: the headless Debian Chromium, and a page of
// rivodiv opened from file:// with its downloads going to a folder.
import { existsSync, readFileSync, statSync } from 'node:fs';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';
import puppeteer from 'puppeteer-core';

export const repo = resolve(dirname(fileURLToPath(import.meta.url)), '..', '..');
export const pagePath = join(repo, 'build', 'web', 'page', 'index.html');
export const nativeProgram = join(repo, 'build', 'default', 'rivodiv');

export function launch(extraArgs = []) {
  return puppeteer.launch({
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage', '--disable-background-networking',
           '--disable-component-update', '--disable-sync', '--no-first-run', '--lang=en-US', ...extraArgs],
  });
}

// A page of the built file, in the given language, saving downloads into downloadPath.
export async function openPage(browser, { language = 'en-US', downloadPath } = {}) {
  const page = await browser.newPage();
  page.on('pageerror', (error) => console.error(`page error: ${error.message}`));
  await page.evaluateOnNewDocument((lang) => {
    Object.defineProperty(navigator, 'language', { get: () => lang });
    Object.defineProperty(navigator, 'languages', { get: () => [lang] });
  }, language);
  if (downloadPath) {
    const session = await page.createCDPSession();
    await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath, eventsEnabled: true });
  }
  await page.goto(pathToFileURL(pagePath).href);
  return page;
}

// Gives the files to the picker and waits until every one is converted or has failed.
export async function convert(page, paths, timeout = 120000) {
  const picker = await page.$('#picker');
  await picker.uploadFile(...paths);
  await results(page, paths.length, timeout);
}

// Waits until count files are converted or have failed.
export async function results(page, count, timeout = 120000) {
  await page.waitForFunction((n) => {
    const items = document.querySelectorAll('#files .file');
    return items.length >= n && [...items].every((i) => i.dataset.state === 'done' || i.dataset.state === 'error');
  }, { timeout, polling: 50 }, count);
}

// Waits for a finished download (Chromium writes it under another name first).
export async function downloaded(path, timeout = 30000) {
  const until = Date.now() + timeout;
  while (Date.now() < until) {
    if (existsSync(path) && !existsSync(`${path}.crdownload`) && statSync(path).size > 0) return readFileSync(path);
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`no download ${path}`);
}
