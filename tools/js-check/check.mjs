// Checks the manager page's script as the browser gets it: page.html's one
// inline script with each {{part.js}} line replaced by that part, as
// tools/join-page joins them, so that a name one part defines and another
// uses is checked across the parts, in their order. Findings are told
// against the part and line they come from.
//   node check.mjs PAGE.html
import { readFileSync } from 'node:fs';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { ESLint } from 'eslint';

// The same marker tools/join-page replaces.
const MARKER = /^([ \t]*)\{\{([A-Za-z0-9._-]+)\}\}$/;

function fail(message) {
  console.error('check-js: ' + message);
  process.exit(2);
}

// The script's text, and for each of its lines the file and line it came from.
function joinScript(pagePath) {
  const folder = path.dirname(pagePath);
  const lines = readFileSync(pagePath, 'utf8').split('\n');
  const open = lines.findIndex((l) => l.trim() === '<script>');
  const close = lines.findIndex((l, i) => i > open && l.trim() === '</script>');
  if (open < 0 || close < 0) fail(`${pagePath}: no <script> and </script> on lines of their own`);
  const text = [], origin = [];
  for (let i = open + 1; i < close; i++) {
    const m = MARKER.exec(lines[i]);
    if (!m) { text.push(lines[i]); origin.push([pagePath, i + 1]); continue; }
    const partPath = path.join(folder, m[2]);
    const part = readFileSync(partPath, 'utf8').replace(/\n+$/, '').split('\n');
    part.forEach((l, j) => { text.push(l); origin.push([partPath, j + 1]); });
  }
  return { text: text.join('\n') + '\n', origin };
}

const page = process.argv[2];
if (!page) fail('usage: node check.mjs PAGE.html');
const { text, origin } = joinScript(path.resolve(page));
const here = path.dirname(fileURLToPath(import.meta.url));
const eslint = new ESLint({ cwd: here, overrideConfigFile: path.join(here, 'eslint.config.mjs') });
const [result] = await eslint.lintText(text, { filePath: path.join(here, 'manager-script.js') });
const shown = (p) => path.relative(process.cwd(), p);
for (const m of result.messages) {
  const [file, line] = m.line ? origin[m.line - 1] : [page, 0];
  console.log(`${shown(file)}:${line}:${m.column || 0}: ${m.message}${m.ruleId ? ` [${m.ruleId}]` : ''}`);
}
if (result.messages.length) {
  console.log(`check-js: ${result.messages.length} finding(s) in the script of ${page}`);
  process.exit(1);
}
