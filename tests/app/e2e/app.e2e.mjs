// End to end: the app executable serves the page, Debian's chromium (driven by playwright-core)
// loads it with the real @capacitor/core and native-bridge.js, and every answer web code gets
// is checked. Usage: node app.e2e.mjs <path to app>
import { chromium } from 'playwright-core';
import { spawn, spawnSync } from 'node:child_process';
import { connect } from 'node:net';
import { createServer, request as httpRequest } from 'node:http';
import { cpSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { createHash, randomBytes } from 'node:crypto';
import { tmpdir } from 'node:os';
import { dirname, join } from 'node:path';
import assert from 'node:assert/strict';

const appPath = process.argv[2];
const dataDir = mkdtempSync(join(tmpdir(), 'app-e2e-'));
const profile = mkdtempSync(join(tmpdir(), 'app-e2e-profile-'));
let app;
let browser;
const services = [];
// The control token of the services this test starts (they read it from their environment).
process.env.KVL_SERVICE_TOKEN = randomBytes(16).toString('hex');
const serviceControl = { 'X-Service-Token': process.env.KVL_SERVICE_TOKEN };

// A local service of ours on a free port; answers the address it listens on.
function startService(name, args) {
  const service = spawn(join(dirname(appPath), '..', 'tools', name, name), ['--port', '0', ...args],
    { stdio: ['ignore', 'pipe', 'inherit'] });
  services.push(service);
  let out = '';
  return new Promise((resolve, reject) => {
    service.on('exit', (code) => reject(new Error(`${name} exited with ${code}`)));
    service.stdout.on('data', (chunk) => {
      out += chunk;
      const match = /listening on (\S+)/.exec(out);
      if (match) resolve(match[1]);
    });
  });
}

// The login-and-link service; the app's bundle is copied with its address.
const startLinkService = () => startService('link-service', []);

// The measurement service the app uploads to and fetches its configuration and attribution
// from, so that the app never reaches a port this test did not open.
async function startMeasurementService() {
  const url = await startService('measurement-service', ['--data', join(dataDir, 'measurement')]);
  process.env.KVL_MEASUREMENT_HOST = new URL(url).host;
  // On-device conversion, which the app links, asks the same service (it answers 404).
  process.env.KVL_ODC_SERVICE_URL = url;
}

function bundleFor(serviceUrl) {
  const bundle = join(dataDir, 'App.bundle');
  cpSync(join(dirname(appPath), 'App.bundle'), bundle, { recursive: true });
  const info = join(bundle, 'Info.plist');
  writeFileSync(info, readFileSync(info, 'utf8').replaceAll('http://127.0.0.1:8972', serviceUrl));
  return bundle;
}

function startApp(bundle, wrapper = [], data = join(dataDir, 'data')) {
  const command = [...wrapper, appPath, '--data-dir', data, '--bundle', bundle, '--port', '0'];
  app = spawn(command[0], command.slice(1), { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let err = '';
  app.stdout.on('data', (chunk) => { out += chunk; process.stdout.write(chunk); });
  app.stderr.on('data', (chunk) => { err += chunk; process.stderr.write(chunk); });
  const stdout = () => out;
  const stderr = () => err;
  return new Promise((resolve, reject) => {
    app.on('exit', (code) => reject(new Error(`app exited early with ${code}`)));
    const poll = setInterval(() => {
      const match = /App: open (\S+)/.exec(out);
      if (match) { clearInterval(poll); resolve({ url: match[1], stdout, stderr }); }
    }, 20);
  });
}

function stopApp() {
  return new Promise((resolve) => {
    app.removeAllListeners('exit');
    app.on('exit', (code, signal) => resolve({ code, signal }));
    app.kill('SIGINT');
  });
}

// Waits until the service has received `count` requests at `path`.
async function waitForRequest(serviceUrl, path, count) {
  for (;;) {
    const requests = await (await fetch(`${serviceUrl}/_control/requests`, { headers: serviceControl })).json();
    if (requests.filter((r) => r.path === path).length >= count) return;
    await new Promise((resolve) => setImmediate(resolve));
  }
}

async function main() {
  await startMeasurementService();
  const serviceUrl = await startLinkService();
  const { url, stdout, stderr } = await startApp(bundleFor(serviceUrl));
  // A fresh profile each run (playwright passes it as --user-data-dir).
  browser = await chromium.launchPersistentContext(profile, {
    executablePath: '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync'],
  });
  const page = await browser.newPage();
  const pageErrors = [];
  page.on('pageerror', (e) => pageErrors.push(e.message));
  // The printed address holds a one-time secret, traded for the session cookie, and in its
  // fragment (never sent to a server) the socket key; the browser lands on the bare address,
  // the shim having taken the key out of it.
  assert.match(url, /^http:\/\/127\.0\.0\.1:\d+\/\?secret=[0-9a-f]{32}#key=[0-9a-f]{32}$/);
  await page.goto(url);
  const origin = new URL(url).origin;
  assert.equal(page.url(), `${origin}/`);
  await page.waitForFunction(() => window.kvl !== undefined);
  assert.equal(await page.textContent('#platform'), 'ios');
  await page.evaluate(() => window.kvl.listening);

  const call = (plugin, method, options) =>
    page.evaluate(([p, m, o]) => window.kvl.call(p, m, o), [plugin, method, options]);
  const resolved = (value) => ({ ok: true, value });
  const rejected = (message, code) => ({ ok: false, message, code });

  const cases = [
    ['KavrelinAnalytics', 'setUserId', { userId: 'u1' }, resolved(undefined)],
    ['KavrelinAnalytics', 'setUserId', {}, rejected('userId property is missing')],
    ['KavrelinAnalytics', 'setUserProperty', { value: 'v' }, rejected('name property is missing')],
    ['KavrelinAnalytics', 'setUserProperty', { name: 'n', value: 3 }, rejected('value property is missing')],
    ['KavrelinAnalytics', 'setUserProperty', { name: 'n', value: 'v' }, resolved(undefined)],
    ['KavrelinAnalytics', 'setScreenName', { screenName: 'home' }, resolved(undefined)],
    ['KavrelinAnalytics', 'setScreenName', {}, rejected('screenName property is missing')],
    ['KavrelinAnalytics', 'reset', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'logEvent', { name: '' }, rejected("Event name is required and can't be empty")],
    ['KavrelinAnalytics', 'logEvent', { name: 'p', params: { items: [{ quantity: 2 }, { quantity: '3' }] } },
      rejected('Item quantity must be specified as an integer value')],
    ['KavrelinAnalytics', 'logEvent', { name: 'p', params: { items: [{ quantity: 2 }] } }, resolved(undefined)],
    ['KavrelinAnalytics', 'setCollectionEnabled', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'setSessionTimeoutDuration', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'enable', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'disable', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'checkPermissions', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'removeAllListeners', {}, resolved(undefined)],
    ['CapacitorKavrelinDynamicLinks', 'createDynamicLink', { domainUriPrefix: 'https://links.example' },
      rejected('uri property is missing')],
    ['CapacitorKavrelinDynamicLinks', 'createDynamicLink',
      { uri: 'https://app.example/a b', domainUriPrefix: 'https://links.example' }, rejected('Unable to create link')],
    ['CapacitorKavrelinDynamicLinks', 'createDynamicLink',
      { uri: 'https://app.example/w', domainUriPrefix: 'https://links.example', iosParameters: { bundleId: 'b', appStoreId: 123 } },
      resolved({ value: 'https://links.example/?link=https%3A%2F%2Fapp.example%2Fw&ibi=b' })],
    ['CapacitorKavrelinDynamicLinks', 'createDynamicLink',
      { uri: 'https://app.example/w', domainUriPrefix: 'https://links.example', iosParameters: { appStoreId: '1' } },
      rejected('bundleId property is missing')],
    ['FacebookLogin', 'getProfile', {}, rejected("You're not logged in. Call FacebookLogin.login() first to obtain an access token.")],
    ['FacebookLogin', 'login', { permissions: ['email', 3] }, rejected('Missing permissions argument')],
    ['FacebookLogin', 'login', { permissions: ['email'], nonce: 'nonce-e2e' },
      resolved({ accessToken: { token: 'authentication-token-1', userId: '1001', name: 'Test User', email: null } })],
    ['FacebookLogin', 'getCurrentAccessToken', {},
      resolved({ accessToken: { token: 'authentication-token-1', userId: '1001', name: 'Test User', email: null } })],
    ['FacebookLogin', 'getProfile', { fields: ['a', 'b'] },
      resolved({ id: '1001', path: '/v1/graph/me', query: 'fields=a%2Cb&access_token=access-token-1' })],
    ['FacebookLogin', 'reauthorize', {},
      resolved({ accessToken: { token: 'authentication-token-1', userId: '1001', name: 'Test User', email: null } })],
    ['FacebookLogin', 'logEvent', { eventName: 'e2e_event' }, resolved(undefined)],
    ['FacebookLogin', 'setAdvertiserTrackingEnabled', {}, resolved(undefined)],
    ['FacebookLogin', 'setAutoLogAppEventsEnabled', { enabled: true }, resolved(undefined)],
    ['FacebookLogin', 'setAdvertiserIDCollectionEnabled', { enabled: false }, resolved(undefined)],
    ['FacebookLogin', 'initialize', {}, resolved(undefined)],
    ['FacebookLogin', 'logout', {}, resolved(undefined)],
    ['FacebookLogin', 'getCurrentAccessToken', {}, resolved(undefined)],
    ['KavrelinAnalytics', 'noSuchMethod', {}, rejected('"KavrelinAnalytics.noSuchMethod()" is not implemented on ios', 'UNIMPLEMENTED')],
  ];
  // The app instance id is the identity's: 32 upper-case hex digits.
  const instance = await call('KavrelinAnalytics', 'getAppInstanceId', {});
  assert.equal(instance.ok, true);
  assert.match(instance.value.instanceId, /^[0-9A-F]{32}$/);
  for (const [plugin, method, options, expected] of cases) {
    const answer = await call(plugin, method, options);
    assert.deepEqual(answer, expected, `${plugin}.${method}(${JSON.stringify(options)})`);
  }

  // A raw client with the session cookie (which the browser sends to any port of 127.0.0.1),
  // Origin and Host forged: what another local user can send.
  const cookie = (await browser.cookies()).find((c) => c.name === `app-session-${new URL(origin).port}`);
  assert.ok(cookie, 'the session cookie');
  const rawUpgrade = (target) => new Promise((resolve, reject) => {
    const req = httpRequest(`${origin}${target}`, {
      headers: {
        Connection: 'Upgrade', Upgrade: 'websocket', 'Sec-WebSocket-Version': '13',
        'Sec-WebSocket-Key': 'dGhlIHNhbXBsZSBub25jZQ==', Origin: origin, Host: new URL(origin).host,
        Cookie: `${cookie.name}=${cookie.value}`,
      },
    });
    req.on('upgrade', (response, socket) => { socket.destroy(); resolve(response.statusCode); });
    req.on('response', (response) => { response.resume(); resolve(response.statusCode); });
    req.on('error', reject);
    req.end();
  });
  // The printed key opened the page's socket, which gave the tab the next key; the page said it
  // kept it (before the calls above, whose answers came on the same socket), so the printed key
  // is dead: what a browser's command line showed every local user (/proc) is worthless now.
  const printedKey = new URL(url).hash.slice('#key='.length);
  assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${printedKey}`), 403, 'the printed key, used');
  const storedKey = () => page.evaluate(() => sessionStorage.getItem('capacitor-bridge-key'));
  const keyBeforeReload = await storedKey();
  assert.match(keyBeforeReload, /^[0-9a-f]{32}$/);
  assert.notEqual(keyBeforeReload, printedKey);

  // A reload keeps the session: the key is in the tab's sessionStorage, the address stays bare;
  // the reload's socket gives the next one, which the page keeps in its place.
  await page.reload();
  await page.waitForFunction(() => window.kvl !== undefined);
  await page.evaluate(() => window.kvl.listening);
  assert.equal(page.url(), `${origin}/`);
  const afterReload = await call('KavrelinAnalytics', 'getAppInstanceId', {});
  assert.equal(afterReload.ok, true, JSON.stringify(afterReload));
  assert.match(afterReload.value.instanceId, /^[0-9A-F]{32}$/);
  assert.notEqual(await storedKey(), keyBeforeReload);

  // The page's buttons show the same answers.
  await page.click('#call-KavrelinAnalytics-getAppInstanceId');
  await page.waitForFunction(() =>
    document.getElementById('result-KavrelinAnalytics-getAppInstanceId').textContent !== '');
  assert.match(await page.textContent('#result-KavrelinAnalytics-getAppInstanceId'),
    /^resolved: \{"instanceId":"[0-9A-F]{32}"\}$/);

  // The control path wants this run's token.
  const control = JSON.parse(readFileSync(join(dataDir, 'data', 'app-control.json'), 'utf8'));

  // A second address (run.sh page-url) in a second tab: both tabs work, reloaded too.
  const secondUrl = (await (await fetch(`${control.url}/_app/control`, {
    method: 'POST', headers: { 'X-App-Token': control.token }, body: '{"action":"page-url"}',
  })).json()).url;
  const second = await browser.newPage();
  second.on('pageerror', (e) => pageErrors.push(e.message));
  const bridgeWorks = async (tab) => {
    await tab.waitForFunction(() => window.kvl !== undefined);
    const answer = await tab.evaluate(() => window.kvl.call('KavrelinAnalytics', 'getAppInstanceId', {}));
    return answer.ok === true;
  };
  await second.goto(secondUrl);
  assert.ok(await bridgeWorks(second), 'the second tab');
  for (const tab of [page, second]) {
    await tab.reload();
    assert.ok(await bridgeWorks(tab), 'each tab after a reload');
  }
  // A reload while the last one is still loading (a double F5) may leave before the next key
  // reaches it: the tab keeps a key that works.
  for (let i = 0; i < 3; ++i) {
    await second.reload({ waitUntil: 'commit' }).catch(() => {});
    // The browser library may find the page between documents: the reload is then its own.
    await second.reload().catch(() => second.waitForLoadState('load'));
    assert.ok(await bridgeWorks(second), 'after a double reload');
  }
  await page.evaluate(() => window.kvl.listening);

  // No page of the app may be framed: a page of another port of 127.0.0.1, loaded in the tab
  // that holds the key (its storage is the site's, shared with same-origin frames), frames the
  // app's page and gets no bridge; the tab, back at the app, still has its own.
  const framer = createServer((request, response) => {
    response.setHeader('Content-Type', 'text/html');
    response.end(`<!doctype html><iframe src="${origin}/"></iframe>`);
  });
  await new Promise((resolve) => framer.listen(0, '127.0.0.1', resolve));
  try {
    await second.goto(`http://127.0.0.1:${framer.address().port}/`, { waitUntil: 'load' });
    const framed = second.frames().find((f) => f !== second.mainFrame());
    assert.ok(framed, 'the frame');
    const framedBridge = await framed.evaluate(() => (window.kvl
      ? window.kvl.call('KavrelinAnalytics', 'getAppInstanceId', {}) : 'no page'))
      .catch((e) => `unreachable: ${e.message}`);
    assert.equal(typeof framedBridge, 'string', `the framed page got a bridge: ${JSON.stringify(framedBridge)}`);
  } finally {
    framer.close();
  }
  await second.goto(`${origin}/`);
  assert.ok(await bridgeWorks(second), 'the tab back at the app');
  // A closed tab is a normal end, not an error line (checked once the app has stopped).
  await second.close();
  const refused = await fetch(`${control.url}/_app/control`, { method: 'POST', body: '{"action":"active"}' });
  assert.equal(refused.status, 403);

  // What is not a URL (nor, for a universal link, an http(s) URL with a host) is refused, and so
  // is a custom scheme the app's Info.plist does not declare.
  for (const [action, bad] of [['open-url', 'not a url'], ['open-url', ''], ['open-url', 3],
    ['open-url', 'javascript:alert(1)'], ['open-url', 'other.app://open?utm_source=x'],
    ['continue-activity', 'not a url'], ['continue-activity', 'com.orvane.kavrelin.app://x'],
    ['continue-activity', 'https:nohost']]) {
    const answer = await fetch(`${control.url}/_app/control`, {
      method: 'POST', headers: { 'X-App-Token': control.token },
      body: JSON.stringify({ action, url: bad }),
    });
    assert.equal(answer.status, 400, `${action} ${JSON.stringify(bad)}`);
  }

  // The secret opened one session: used again, it opens nothing.
  assert.equal((await fetch(url, { redirect: 'manual' })).status, 403);

  // A page of another origin cannot open the bridge socket, nor the page without a key.
  const socketUrl = `${origin.replace('http://', 'ws://')}/_capacitor/bridge`;
  const openSocket = (target) => new Promise((resolve) => {
    const ws = new WebSocket(target);
    ws.onopen = () => resolve('open');
    ws.onerror = () => resolve('refused');
  });
  assert.equal(await page.evaluate(openSocket, socketUrl), 'refused', 'not without a key');
  const other = await browser.newPage();
  await other.goto('about:blank');
  assert.equal(await other.evaluate(openSocket, socketUrl), 'refused');

  // The cookie alone opens no socket: the browser sends it to any port of 127.0.0.1, so another
  // user's listener may hold it. Nor does it with a key the tab has used and replaced.
  assert.equal(await rawUpgrade('/_capacitor/bridge'), 403);
  assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${'0'.repeat(32)}`), 403);
  assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${keyBeforeReload}`), 403, 'a key the tab used');
  // The tab's own key opens a socket (the page keeps the one it has; it is not reloaded again).
  assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${await storedKey()}`), 101);
  // Nor does a tab of the bare address, which has the cookie but no key: its calls are rejected.
  const bare = await browser.newPage();
  await bare.goto(`${origin}/`);
  await bare.waitForFunction(() => window.kvl !== undefined);
  assert.deepEqual(await bare.evaluate(() => window.kvl.call('KavrelinAnalytics', 'getAppInstanceId', {})),
    { ok: false, message: 'The native bridge is unavailable', code: 'UNAVAILABLE' });
  await bare.close();

  // A second opener with a tab's printed key (another local user read it from a command line):
  // its socket opens while the page's acknowledgement of its next key is held back. Whichever
  // socket acknowledges first keeps working; every other socket opened with the key is closed
  // (4000); the printed key opens nothing more, whatever the order.
  const newAddress = async () => (await (await fetch(`${control.url}/_app/control`, {
    method: 'POST', headers: { 'X-App-Token': control.token }, body: '{"action":"page-url"}',
  })).json()).url;
  // The opener: sockets of the app's origin with its cookie (what a raw client forges), from a
  // tab that holds no key of its own.
  const opener = await browser.newPage();
  await opener.goto(`${origin}/`);
  await opener.evaluate(() => {
    window.sockets = [];
    // The socket's index once its first frame (the next key) came, or -1 when refused.
    window.openSocket = (target) => new Promise((resolve) => {
      const s = { ws: new WebSocket(target), next: null, closed: null, answers: new Map() };
      s.ws.onmessage = (event) => {
        const frame = JSON.parse(event.data);
        if (s.next === null) {
          s.next = frame.bridgeKey;
          resolve(window.sockets.push(s) - 1);
          return;
        }
        s.answers.get(frame.callbackId)?.(frame.success ? 'success' : 'rejected');
      };
      s.ws.onclose = (event) => {
        s.closed = `closed ${event.code}`;
        s.answers.forEach((answer) => answer(s.closed));
        resolve(-1);
      };
    });
    // One call: 'success', or how the socket was closed.
    window.socketCall = (i) => new Promise((resolve) => {
      const s = window.sockets[i];
      if (s.closed) return resolve(s.closed);
      const id = `${Math.random()}`;
      s.answers.set(id, resolve);
      s.ws.send(JSON.stringify({ callbackId: id, pluginId: 'KavrelinAnalytics', methodName: 'getAppInstanceId', options: {} }));
    });
  });
  const openerSocket = (key) => opener.evaluate((target) => window.openSocket(target), `${socketUrl}?key=${key}`);
  const socketCall = (i) => opener.evaluate((i) => window.socketCall(i), i);
  const keepKey = (i) => opener.evaluate((i) => {
    const s = window.sockets[i];
    s.ws.send(JSON.stringify({ bridgeKeyKept: s.next }));
    return window.socketCall(i);  // answered once the host has read the acknowledgement
  }, i);
  const nextKeyOf = (i) => opener.evaluate((i) => window.sockets[i].next, i);
  // A tab stopped (by the browser's debugger) as its socket's first frame, the next key, reaches
  // the shim: its socket is open, its acknowledgement not yet sent.
  const shimLines = readFileSync(new URL('../../../platform/capacitor/CAPBridgeShim.js', import.meta.url), 'utf8').split('\n');
  const firstFrameLine = shimLines.findIndex((line) => line.includes('socket.onmessage = function')) + 1;
  const stoppedTab = async (address) => {
    const tab = await browser.newPage();
    const debug = await browser.newCDPSession(tab);
    await debug.send('Debugger.enable');
    await debug.send('Debugger.setBreakpointByUrl', { urlRegex: 'bridge-shim\\.js', lineNumber: firstFrameLine });
    const paused = new Promise((resolve) => debug.once('Debugger.paused', resolve));
    await tab.goto(address, { waitUntil: 'commit' });
    await paused;
    const resume = async () => {
      await debug.send('Debugger.setBreakpointsActive', { active: false });
      await debug.send('Debugger.resume');
      await debug.send('Debugger.disable');
    };
    return { tab, resume };
  };
  const instanceId = (tab) => tab.evaluate(() => window.kvl.call('KavrelinAnalytics', 'getAppInstanceId', {}));
  for (const openerKeepsFirst of [false, true]) {
    const address = await newAddress();
    const printed = new URL(address).hash.slice('#key='.length);
    const { tab, resume } = await stoppedTab(address);
    const lines = [];
    tab.on('console', (m) => lines.push(m.text()));
    // Console lines reach this process a little after the page wrote them.
    const logged = async (pattern) => {
      for (let i = 0; i < 600 && !lines.some((line) => pattern.test(line)); ++i) {
        await new Promise((resolve) => setTimeout(resolve, 50));
      }
      assert.ok(lines.some((line) => pattern.test(line)), `${pattern}: ${JSON.stringify(lines)}`);
    };
    const other = await openerSocket(printed);
    assert.notEqual(other, -1, 'the printed key opens a socket until a key it handed is kept');
    if (openerKeepsFirst) assert.equal(await keepKey(other), 'success');
    await resume();  // the page keeps its key and says so
    await tab.waitForFunction(() => window.kvl !== undefined);
    if (openerKeepsFirst) {
      // The page's socket was closed (4000); its calls are rejected; the opener's socket works.
      assert.deepEqual(await instanceId(tab),
        { ok: false, message: 'The native bridge is unavailable', code: 'UNAVAILABLE' });
      await logged(/took this page's key.*open a new address/);
      assert.equal(await socketCall(other), 'success');
      // Its reload is told to open a new address: the key it kept opens nothing.
      await tab.reload();
      await tab.waitForFunction(() => window.kvl !== undefined);
      assert.deepEqual(await instanceId(tab),
        { ok: false, message: 'The native bridge is unavailable', code: 'UNAVAILABLE' });
      await logged(/refused this page's key.*open a new address/);
    } else {
      // The page's acknowledgement closed the other socket; the page works.
      assert.equal((await instanceId(tab)).ok, true);
      assert.equal(await socketCall(other), 'closed 4000');
      assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${await nextKeyOf(other)}`), 403,
        'the key the closed socket was handed');
    }
    assert.equal(await rawUpgrade(`/_capacitor/bridge?key=${printed}`), 403, 'the printed key, spent');
    await tab.close();
  }
  await opener.close();

  // Another local user (nobody) who finds the port reads no page, script or socket. Only where
  // this test may switch users: as root in CI, but not as the root of a user namespace that maps
  // no other user (some chroot setups), where runuser itself fails ("cannot set groups") and
  // curl never runs (curl prints a status, "000" at worst, whenever it runs).
  const switchable = process.getuid && process.getuid() === 0 &&
    spawnSync('runuser', ['-u', 'nobody', '--', 'true']).status === 0;
  if (!switchable && process.getuid && process.getuid() === 0) {
    console.log('skip: the other-user rows (runuser cannot switch to nobody here)');
  }
  if (switchable) {
    const asNobody = (...args) => {
      const run = spawnSync('runuser',
        ['-u', 'nobody', '--', 'curl', '-s', '-o', '/dev/null', '-w', '%{http_code}', ...args],
        { encoding: 'utf8' });
      return run.stdout || `(no answer: status ${run.status}, ${run.stderr})`;
    };
    assert.equal(asNobody(`${origin}/`), '403');
    assert.equal(asNobody(`${origin}/_capacitor/bridge-shim.js`), '403');
    assert.equal(asNobody(`${origin}/native-bridge.js`), '403');
    assert.equal(asNobody(`${origin}/?secret=${'0'.repeat(32)}`), '403');
    assert.equal(asNobody('-H', 'Connection: Upgrade', '-H', 'Upgrade: websocket',
      '-H', 'Sec-WebSocket-Version: 13', '-H', 'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==',
      '-H', `Origin: ${origin}`, `${origin}/_capacitor/bridge`), '403');
    assert.equal(asNobody('-X', 'POST', '-d', '{"action":"page-url"}', `${origin}/_app/control`),
      '403');
  }

  // The service got the nonce's SHA-256 hex digest (Node's own hash as the reference), never the
  // nonce, and the app event.
  const requests = await (await fetch(`${serviceUrl}/_control/requests`, { headers: serviceControl })).json();
  const bodyOf = (r) => Buffer.from(r.body_base64, 'base64').toString('utf8');
  const login = requests.filter((r) => r.path === '/v1/login').map(bodyOf);
  assert.equal(login.length, 1);
  assert.equal(JSON.parse(login[0]).nonce, createHash('sha256').update('nonce-e2e').digest('hex'));
  assert.ok(!requests.some((r) => bodyOf(r).includes('nonce-e2e') || r.target.includes('nonce-e2e')));
  assert.ok(requests.some((r) => r.path === '/v1/app_events' && JSON.parse(bodyOf(r)).event === 'e2e_event'));

  // A short link from the service; opened as a universal link, it reaches the listener.
  const short = await call('CapacitorKavrelinDynamicLinks', 'createDynamicShortLink',
    { uri: 'https://app.example/short', domainUriPrefix: 'https://links.example' });
  assert.equal(short.ok, true, JSON.stringify(short));
  assert.match(short.value.value, /^https:\/\/links.example\/s\d+$/);
  assert.match(stdout(), new RegExp(`The short URL is: ${short.value.value}`));

  // A URL opened as the system would (run.sh open-url) reaches the page's listener.
  const deepLink = 'com.orvane.kavrelin.app://google/link/?deep_link_id=https%3A%2F%2Fapp.example%2Fopened';
  const opened = await fetch(`${control.url}/_app/control`, {
    method: 'POST', headers: { 'X-App-Token': control.token },
    body: JSON.stringify({ action: 'open-url', url: deepLink }),
  });
  assert.equal(opened.status, 204);
  await page.waitForFunction(() => window.kvl.events.length > 0);
  assert.deepEqual(await page.evaluate(() => window.kvl.events), [{ url: 'https://app.example/opened' }]);
  const universal = await fetch(`${control.url}/_app/control`, {
    method: 'POST', headers: { 'X-App-Token': control.token },
    body: JSON.stringify({ action: 'continue-activity', url: short.value.value }),
  });
  assert.equal(universal.status, 204);
  await page.waitForFunction(() => window.kvl.events.length > 1);
  assert.deepEqual(await page.evaluate(() => window.kvl.events),
    [{ url: 'https://app.example/opened' }, { url: 'https://app.example/short' }]);
  assert.match(stdout(), /Logged in/);
  assert.match(stdout(), /Facebook: check if autolog enabled: true/);
  assert.match(stdout(), /CapacitorKavrelinDynamicLinks.handleLink\(\) - url: https:\/\/app.example\/opened/);
  assert.match(stdout(), /The long URL is: https:\/\/links.example\/\?link=https%3A%2F%2Fapp.example%2Fw&ibi=b/);

  assert.deepEqual(pageErrors, []);

  // A call still pending when the app goes is rejected "UNAVAILABLE" by the shim.
  await fetch(`${serviceUrl}/_control/script`, {
    method: 'POST', headers: { 'Content-Type': 'application/json', ...serviceControl },
    body: JSON.stringify({ path: '/v1/login', silent: true, times: 1 }),
  });
  await page.evaluate(() => {
    window.pendingLogin = window.kvl.call('FacebookLogin', 'login', { permissions: ['email'] });
  });
  await waitForRequest(serviceUrl, '/v1/login', 2);
  const exit = await stopApp();
  assert.deepEqual(await page.evaluate(() => window.pendingLogin),
    { ok: false, message: 'The native bridge is unavailable', code: 'UNAVAILABLE' });
  await browser.close();
  browser = undefined;
  assert.equal(exit.code, 0, `app exit ${JSON.stringify(exit)}`);
  assert.match(stdout(), /App: stopped/);
  // Tabs closed and reloaded, raw sockets dropped: none of it was an error.
  assert.doesNotMatch(stderr(), /Capacitor: page \d+ closed/);

  // With 64 descriptors and 100 half-open requests held against it, the app still answers the
  // next request once they go.
  const limited = await startApp(bundleFor(serviceUrl), ['prlimit', '--nofile=64'],
    join(dataDir, 'limited'));
  const limitedOrigin = new URL(limited.url).origin;
  const held = await Promise.all(Array.from({ length: 100 }, () => new Promise((resolve) => {
    const socket = connect(Number(new URL(limitedOrigin).port), '127.0.0.1', () => {
      socket.write('GET / HTTP/1.1\r\n');
      resolve(socket);
    });
    socket.on('error', () => {});
  })));
  held.forEach((socket) => socket.destroy());
  assert.equal((await fetch(`${limitedOrigin}/`)).status, 403, 'answered after 100 half-open requests');
  assert.equal((await fetch(limited.url, { redirect: 'manual' })).status, 303);
  // Ended at once: how the app ends is checked above; here it may still be starting up.
  await new Promise((resolve) => {
    app.removeAllListeners('exit');
    app.on('exit', resolve);
    app.kill('SIGKILL');
  });
  console.log('app e2e: all answers as expected');
}

try {
  await main();
} catch (e) {
  console.error(e);
  process.exitCode = 1;
} finally {
  if (browser) await browser.close().catch(() => {});
  if (app && app.exitCode === null) app.kill('SIGKILL');
  for (const service of services) {
    if (service.exitCode !== null) continue;
    service.removeAllListeners('exit');
    service.kill('SIGTERM');
  }
  rmSync(dataDir, { recursive: true, force: true });
  rmSync(profile, { recursive: true, force: true });
}
