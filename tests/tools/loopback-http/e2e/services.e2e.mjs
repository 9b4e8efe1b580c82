// A page of another origin, in Debian's chromium driven by playwright-core, against the three
// local services: it cannot script them (control requests need a JSON type, which a page of
// another origin cannot send without the browser asking first, and this run's token), cannot
// write to them (they refuse another Origin: no upload, experiment request, short link or login
// is taken from it), cannot read them across origins, and cannot read them through a rebinding
// host name (the services check Host).
// Usage: node services.e2e.mjs <measurement-service> <link-service> <psm-server> <members.json>
import { chromium } from 'playwright-core';
import { spawn } from 'node:child_process';
import { createServer } from 'node:http';
import { randomBytes } from 'node:crypto';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import assert from 'node:assert/strict';

const [measurement, link, psm, members] = process.argv.slice(2);
const data = mkdtempSync(join(tmpdir(), 'services-e2e-'));
const profile = mkdtempSync(join(tmpdir(), 'services-e2e-profile-'));
const children = [];
// The control token the services read from their environment.
process.env.KVL_SERVICE_TOKEN = randomBytes(16).toString('hex');
const control = { 'X-Service-Token': process.env.KVL_SERVICE_TOKEN };
let browser;
let attacker;
const attackerCookies = [];  // the Cookie headers the attacker's server received

function start(program, args) {
  const child = spawn(program, ['--port', '0', ...args], { stdio: ['ignore', 'pipe', 'inherit'] });
  children.push(child);
  let out = '';
  return new Promise((resolve, reject) => {
    child.on('exit', (code) => reject(new Error(`${program} exited with ${code}`)));
    child.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(out);
      if (match) resolve(match[1]);
    });
  });
}

async function main() {
  const services = [
    { name: 'measurement', url: await start(measurement, ['--data', data]), probe: '/storekit/products',
      reads: ['/uploads.json', '/_control/requests'], scripted: true },
    { name: 'link', url: await start(link, []), probe: '/v1/graph/me', reads: ['/_control/requests'],
      scripted: true },
    { name: 'psm', url: await start(psm, ['--members', members]), probe: '/odm/config',
      reads: ['/odm/config'], scripted: false },
  ];
  // The attacker's page: another origin on this machine (another port), so that no guard of the
  // browser's between address spaces stands in the way; the services must hold on their own.
  attacker = createServer((request, response) => {
    if (request.headers.cookie) attackerCookies.push(request.headers.cookie);
    response.writeHead(200, { 'Content-Type': 'text/html' });
    response.end('<!doctype html><title>attack</title>');
  });
  await new Promise((resolve) => attacker.listen(0, '127.0.0.1', resolve));
  const attackerUrl = `http://127.0.0.1:${attacker.address().port}/attack.html`;
  // "evil.test" resolves to this machine, as a rebinding name does once it has flipped.
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--host-resolver-rules=MAP evil.test 127.0.0.1'],
  });
  const page = await browser.newPage();

  for (const service of services) {
    const port = new URL(service.url).port;
    await page.goto(attackerUrl);
    const results = await page.evaluate(async ({ base, probe }) => {
      const out = {};
      // Scripting: what a page may send without asking (no-cors, a text/plain body).
      await fetch(`${base}/_control/script`, {
        method: 'POST', mode: 'no-cors',
        body: JSON.stringify({ path: probe, status: 503, times: 5 }),
      }).catch(() => {});
      // The same as a form would post it.
      const form = new FormData();
      form.append('{"path":"' + probe + '","status":503,"x":"', '"}');
      await fetch(`${base}/_control/script`, { method: 'POST', mode: 'no-cors', body: form }).catch(() => {});
      // Reading across origins.
      try {
        out.crossOrigin = (await (await fetch(`${base}${probe}`)).text()).length;
      } catch (e) {
        out.crossOrigin = 'refused';
      }
      return out;
    }, { base: service.url, probe: service.probe });
    assert.equal(results.crossOrigin, 'refused', `${service.name}: read across origins`);
    const probe = await fetch(`${service.url}${service.probe}`);
    assert.ok(probe.status === 200 || probe.status === 204, `${service.name}: scripted by a page (${probe.status})`);

    // Rebinding: the same paths under a name that resolves to this machine, as the attacker's
    // page would load them once its name has flipped.
    for (const path of service.reads) {
      const answer = await page.goto(`http://evil.test:${port}${path}`);
      assert.equal(answer.status(), 403, `${service.name}: ${path} read through a rebinding name`);
      assert.doesNotMatch(await answer.text(), /sequence|bundles|matching_id/);
    }
  }
  await framesFromAnotherOrigin(page, services, attackerUrl);
  await writesFromAnotherOrigin(page, services, attacker.address().port);
  await leakedCookie(browser, services[0], attackerUrl);
  console.log('services e2e: no page of another origin scripted, framed, wrote to or read a service');
}

// A page on another port of 127.0.0.1 is the same site: a frame of a service's page inside it
// would show what the service shows the developer (the uploads page, with the session cookie the
// developer's browser holds). The browser blocks every such frame.
async function framesFromAnotherOrigin(page, services, attackerUrl) {
  const [measurement] = services;
  // The developer opened the uploads page: this browser holds its session.
  const { url: address } = await (await fetch(`${measurement.url}/_control/page-url`, {
    method: 'POST', headers: { ...control, 'Content-Type': 'application/json' },
  })).json();
  const opened = await page.goto(address);
  assert.equal(opened.status(), 200, 'the uploads page opens with its address');
  const targets = services.map((service) => [service.name, `${service.url}${service.probe}`]);
  targets.push(['the uploads page', `${measurement.url}/`]);
  for (const [name, target] of targets) {
    await page.goto(attackerUrl);
    await page.evaluate((src) => new Promise((resolve) => {
      const frame = document.createElement('iframe');
      frame.onload = resolve;
      frame.src = src;
      document.body.appendChild(frame);
    }), target);
    const framed = page.frames().find((frame) => frame !== page.mainFrame());
    assert.ok(framed, `${name}: no frame`);
    assert.notEqual(new URL(framed.url()).origin, new URL(target).origin,
      `${name} is shown in a frame of another port`);
  }
}

// What a page may send anywhere without asking (no-cors, text/plain bodies): an upload, an
// experiment request, a short link to the attacker's site and a login, from pages on another
// local port under both loopback names. Each reaches its service and is answered 403; nothing is
// stored.
async function writesFromAnotherOrigin(page, services, attackerPort) {
  const [measurement, link, psm] = services.map((service) => service.url);
  const writes = [
    [`${measurement}/a`, [0x0a, 0x00]],
    [`${measurement}/sdk-exp`, [0x0a, 0x00]],
    [`${link}/v1/shortLinks`, JSON.stringify({ longDynamicLink: 'https://evil.example/?link=https://evil.example/x' })],
    [`${link}/v1/login`, JSON.stringify({ permissions: ['email'] })],
    [`${psm}/odm/psm`, JSON.stringify({ psm_request: 'AAAA', odmed: 'x' })],
  ];
  for (const host of ['127.0.0.1', 'localhost']) {
    await page.goto(`http://${host}:${attackerPort}/attack.html`);
    const statuses = new Map();
    const onResponse = (response) => statuses.set(response.url(), response.status());
    page.on('response', onResponse);
    await page.evaluate(async (list) => {
      for (const [url, body] of list) {
        const data = typeof body === 'string' ? body : new Blob([new Uint8Array(body)], { type: 'text/plain' });
        await fetch(url, { method: 'POST', mode: 'no-cors', body: data }).catch(() => {});
      }
    }, writes);
    page.off('response', onResponse);
    for (const [url] of writes) {
      assert.equal(statuses.get(url), 403, `a page on ${host}:${attackerPort} wrote to ${url}`);
    }
  }
  const uploads = await (await fetch(`${measurement}/uploads.json`, { headers: control })).json();
  assert.deepEqual(uploads, [], 'an upload was stored');
  const experiments = await (await fetch(`${measurement}/_control/experiment-requests`, { headers: control })).json();
  assert.deepEqual(experiments, [], 'an experiment request was kept');
  for (const url of [measurement, link]) {
    const requests = await (await fetch(`${url}/_control/requests`, { headers: control })).json();
    assert.deepEqual(requests.filter((r) => r.method === 'POST'), [], `${url} recorded a page's request`);
  }
  const resolved = await (await fetch(`${link}/v1/reopenAttribution`, {
    method: 'POST', body: JSON.stringify({ requestedLink: 'https://evil.example/s1' }),
  })).json();
  assert.deepEqual(resolved, {}, 'a short link of the page was made');
  // The token is what opens control requests: without it, even from here, they are refused.
  assert.equal((await fetch(`${measurement}/_control/requests`)).status, 403);
}

// Browsers send the cookies of 127.0.0.1 to every port of it: a page that another local user
// serves on some port receives the uploads page's session cookie. With that cookie alone the
// owner's pages show no upload and no experiment request; the browser that opened the printed
// address still shows them.
async function leakedCookie(browser, measurement, attackerUrl) {
  const instance = 'instance-e2e-leak';
  const bundleId = 'com.example.leak';
  const text = (value) => [...Buffer.from(value)];
  // A MeasurementBatch of one bundle (app_instance_id, field 21) and an ExperimentRequest
  // (app_property, field 1, with bundle_id, field 5).
  const bundle = [0xaa, 0x01, instance.length, ...text(instance)];
  const stored = await fetch(`${measurement.url}/a`, {
    method: 'POST', body: new Uint8Array([0x0a, bundle.length, ...bundle]),
  });
  assert.equal(stored.status, 204, 'the upload was taken');
  const property = [0x2a, bundleId.length, ...text(bundleId)];
  const asked = await fetch(`${measurement.url}/sdk-exp`, {
    method: 'POST', body: new Uint8Array([0x0a, property.length, ...property]),
  });
  assert.equal(asked.status, 200, 'the experiment request was taken');
  const showsData = (body) => body.includes(instance) || body.includes(bundleId);

  // The developer opens the printed address in a tab of their browser, which shows the uploads.
  const { url: address } = await (await fetch(`${measurement.url}/_control/page-url`, {
    method: 'POST', headers: { ...control, 'Content-Type': 'application/json' },
  })).json();
  const owner = await browser.newPage();
  await owner.goto(address);
  await owner.waitForFunction((id) => document.documentElement.textContent.includes(id), instance);
  assert.equal(new URL(owner.url()).hash, '', 'the key stays in the address bar');

  // Any page of another port gets the cookie.
  const other = await browser.newPage();
  attackerCookies.length = 0;
  await other.goto(attackerUrl);
  await other.close();
  const name = `uploads-session-${new URL(measurement.url).port}`;
  const leaked = attackerCookies.join('; ').split(/;\s*/).find((c) => c.startsWith(`${name}=`));
  assert.ok(leaked, `the page of another port got no ${name} cookie: ${attackerCookies}`);

  // With the cookie alone: no upload, no experiment request.
  for (const path of ['/', '/uploads.json', '/experiments', '/?before=999']) {
    const answer = await fetch(`${measurement.url}${path}`, { headers: { Cookie: leaked } });
    const body = await answer.text();
    assert.ok(answer.status === 403 || answer.status === 200, `${path}: ${answer.status}`);
    assert.ok(!showsData(body), `${path} shows data to the cookie alone: ${body.slice(0, 200)}`);
  }

  // The owner's tab still shows the uploads, the JSON and the experiment requests, reloaded too.
  for (const [path, shown] of [['/', instance], ['/uploads.json', instance],
    ['/experiments', bundleId], ['/', instance]]) {
    await owner.goto(`${measurement.url}${path}`);
    await owner.waitForFunction((id) => document.documentElement.textContent.includes(id), shown);
  }
  await owner.reload();
  await owner.waitForFunction((id) => document.documentElement.textContent.includes(id), instance);
  await owner.close();
}

try {
  await main();
} catch (e) {
  console.error(e);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  if (attacker) attacker.close();
  for (const child of children) {
    child.removeAllListeners('exit');
    child.kill('SIGTERM');
  }
  rmSync(data, { recursive: true, force: true });
  rmSync(profile, { recursive: true, force: true });
}
