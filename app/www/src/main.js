// The demo page: a button per plug-in method, each answer shown beside it, and every
// "deepLinkOpen" event in the list below. window.kvl lets a test drive the same calls.
import { Capacitor } from '@capacitor/core';
import { catalogue, CapacitorKavrelinDynamicLinks } from './plugins.js';

const events = [];

function show(element, outcome) {
  element.textContent = outcome.ok
    ? `resolved: ${outcome.value === undefined ? 'undefined' : JSON.stringify(outcome.value)}`
    : `rejected: ${outcome.message}${outcome.code ? ` (${outcome.code})` : ''}`;
  element.classList.toggle('rejected', !outcome.ok);
}

async function call(pluginName, method, options) {
  const entry = catalogue.find((p) => p.name === pluginName);
  try {
    return { ok: true, value: await entry.plugin[method](options) };
  } catch (error) {
    return { ok: false, message: error.message, code: error.code };
  }
}

function render() {
  const root = document.getElementById('plugins');
  for (const { name, methods } of catalogue) {
    const section = document.createElement('section');
    section.innerHTML = `<h2></h2>`;
    section.querySelector('h2').textContent = name;
    for (const [method, example] of Object.entries(methods)) {
      const row = document.createElement('div');
      row.className = 'method';
      const button = document.createElement('button');
      button.textContent = method;
      button.id = `call-${name}-${method}`;
      const options = document.createElement('textarea');
      options.value = JSON.stringify(example);
      options.id = `options-${name}-${method}`;
      const result = document.createElement('div');
      result.className = 'result';
      result.id = `result-${name}-${method}`;
      button.addEventListener('click', async () => {
        let parsed;
        try {
          parsed = JSON.parse(options.value || '{}');
        } catch (e) {
          show(result, { ok: false, message: `options are not JSON: ${e.message}` });
          return;
        }
        show(result, await call(name, method, parsed));
      });
      row.append(button, options, result);
      section.append(row);
    }
    root.append(section);
  }
}

async function listen() {
  await CapacitorKavrelinDynamicLinks.addListener('deepLinkOpen', (data) => {
    events.push(data);
    document.getElementById('events').textContent += `deepLinkOpen ${JSON.stringify(data)}\n`;
  });
}

document.getElementById('platform').textContent = Capacitor.getPlatform();
render();
// A plug-in missing from the app is reported on the page rather than stopping it.
const listening = listen().catch((error) => {
  document.getElementById('events').textContent += `listening failed: ${error.message}\n`;
});
window.kvl = { call, events, listening };
