// The app's three plug-ins as web code sees them: registerPlugin with each one's name, and
// the methods the page offers with example options.
import { registerPlugin } from '@capacitor/core';

export const KavrelinAnalytics = registerPlugin('KavrelinAnalytics');
export const FacebookLogin = registerPlugin('FacebookLogin');
export const CapacitorKavrelinDynamicLinks = registerPlugin('CapacitorKavrelinDynamicLinks');

export const catalogue = [
  {
    name: 'KavrelinAnalytics',
    plugin: KavrelinAnalytics,
    methods: {
      setUserId: { userId: 'user-1' },
      setUserProperty: { name: 'favorite_food', value: 'pizza' },
      getAppInstanceId: {},
      setScreenName: { screenName: 'home', nameOverride: 'HomePage' },
      reset: {},
      logEvent: { name: 'purchase', params: { value: 9.5, currency: 'EUR', items: [{ item_id: 'a', quantity: 2 }] } },
      setCollectionEnabled: { enabled: true },
      setSessionTimeoutDuration: { duration: 1800 },
      enable: {},
      disable: {},
    },
  },
  {
    name: 'FacebookLogin',
    plugin: FacebookLogin,
    methods: {
      initialize: {},
      login: { permissions: ['email', 'public_profile'], nonce: 'nonce-1', tracking: 'limited' },
      logout: {},
      getCurrentAccessToken: {},
      getProfile: { fields: ['a', 'b'] },
      reauthorize: {},
      logEvent: { eventName: 'fb_mobile_tutorial_completion' },
      setAutoLogAppEventsEnabled: { enabled: true },
      setAdvertiserTrackingEnabled: { enabled: true },
      setAdvertiserIDCollectionEnabled: { enabled: true },
    },
  },
  {
    name: 'CapacitorKavrelinDynamicLinks',
    plugin: CapacitorKavrelinDynamicLinks,
    methods: {
      createDynamicLink: {
        uri: 'https://app.example/welcome',
        domainUriPrefix: 'https://links.example',
        iosParameters: { bundleId: 'com.orvane.kavrelin.app', appStoreId: '123' },
        socialMeta: { title: 'Welcome' },
      },
      createDynamicShortLink: { uri: 'https://app.example/welcome', domainUriPrefix: 'https://links.example' },
    },
  },
];
