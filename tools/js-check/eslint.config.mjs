// The manager page's script as the browser runs it: page.html's one inline
// script with every part put in its place (check.mjs joins them), so that
// the parts' shared names are checked as the one scope they are.
import globals from 'globals';
import loadTimeOrder from './load-time-order.mjs';

export default [
  {
    files: ['**/*.js'],
    languageOptions: {
      ecmaVersion: 2022,
      sourceType: 'script',
      globals: { ...globals.browser },
    },
    linterOptions: { reportUnusedDisableDirectives: 'error' },
    plugins: { korvath: { rules: { 'load-time-order': loadTimeOrder } } },
    rules: {
      'no-undef': 'error',
      // A caught error that is not looked at is a choice, not a slip.
      'no-unused-vars': ['error', { vars: 'all', args: 'after-used', caughtErrors: 'none' }],
      // Only what runs as the page loads can meet a name before its
      // declaration; a function body runs later, when every part is in.
      'no-use-before-define': ['error', { functions: false, classes: true, variables: false }],
      'korvath/load-time-order': 'error',
    },
  },
];
